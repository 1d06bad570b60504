// The monitor's one call into the log facility beyond its C interface; not
// installed.
#pragma once

namespace kestrun::kslog {

// Trusts the user the tunnel's client runs for with the log's names and
// files, as this process's own user is trusted: the client process's real
// user, or, when that is root, the user in SUDO_UID of the client's own
// environment (a client started through sudo). Reads /proc/<pid>; no
// client user for pid 0 or a process that cannot be read. Call before
// kslogInit, which is when the trust is taken.
void kslogTrustClientProcess(unsigned pid);

}  // namespace kestrun::kslog
