// Removing the endpoint-control data, $HOME/.valdrane/EPC, with the rights of
// the user who could have changed what that path names.
//
// rm resolves the path by name after every check made here, so whoever can
// rename entries in HOME can swap .valdrane for a link between the check and
// the removal. The check keeps the honest case exact (.valdrane a real
// directory); running rm with that user's own rights bounds the dishonest
// one: nothing goes that this user could not have removed anyway.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>

namespace uninstall {

// A directory's owner and group, as fstat saw them.
struct DirOwner {
    uid_t uid;
    gid_t gid;
};

// The least privileged user able to swap .valdrane in home, judged from the
// two directories' fstat results:
//   - home not writable by others: its owner (a home of root's that its
//     group may write counts as one that others may write);
//   - home writable by others and sticky (like /tmp): the owner of
//     .valdrane, or home's owner where .valdrane is root's (both of them
//     can rename it; root is the more privileged); nobody when they are two
//     different users other than root, since either could then turn the
//     removal against the other;
//   - home writable by others and not sticky: anyone could swap it, so
//     nobody's rights are safe.
// The group that comes with the result is that directory's group, used when
// the uid has no passwd entry.
std::optional<DirOwner> swapping_user(const struct stat& home, const struct stat& valdrane);

// Runs "rm -rf <home, quoted for the shell>/.valdrane/EPC" through the shell
// and waits for it, when home names a directory (links followed) whose
// .valdrane is a real directory, not a link; EPC itself may be a link, which
// rm removes without following. Run by root, the command runs in a child
// that first takes the credentials of swapping_user(): that user's groups
// (none without a passwd entry), its primary group (else the directory's
// group), then its uid, each checked; any failure runs nothing. A child
// that runs as a user other than root also leaves the caller's session and
// terminal: it reads /dev/null, what it writes reaches the caller's
// standard error through a pipe with control characters masked, it keeps
// no other descriptor, and of the environment only PATH and the locale; it
// works in / unless home is a relative path. Run by anyone but root, the
// command runs as the caller, as system() would run it. The command's outcome is not examined.
void remove_epc_data(const char* home);

}  // namespace uninstall
