// setgroups(2) in a user namespace where the kernel refuses it.
//
// An ordinary user's namespace must deny setgroups(2) before it may map
// the user's group: from then on the kernel refuses it to every process
// there, its root included, even a call that asks for the only group the
// namespace maps. A program that drops from root to a user (the
// uninstaller drops to the home's owner before it removes anything) would
// stop at that call, and every test of what comes after it would have to
// skip. Yet there is nothing to drop to: the namespace maps one uid and
// one gid, both to 0, and its root holds every capability whatever its
// supplementary groups. So for the program ks_sandbox runs there,
// setgroups(2) succeeds and changes nothing. Tests that look at the
// groups a drop gave need other users anyway and skip (in_sandbox.h).
#pragma once

namespace kssandbox {

// In a namespace whose setgroups(2) is denied, installs a seccomp filter
// (inherited by every child and across exec) under which setgroups(2)
// returns 0 without effect. Elsewhere does nothing. Ends the sandbox
// through fail_step when the filter cannot be installed.
void stub_denied_setgroups();

}  // namespace kssandbox
