// Removing the endpoint-control data, $HOME/.valdrane/EPC, from the home
// directory that was judged and with the rights of the user who could have
// changed what lies in it.
//
// HOME and .valdrane are each looked up once, into descriptors, and rm runs
// in the .valdrane so found: a name swapped after the check (HOME itself
// flipped between two directories, .valdrane for a link) cannot lead it
// anywhere else. Below .valdrane rm resolves EPC by name, and whoever may
// rename entries there could still swap it; running rm with that user's
// own rights bounds that case: nothing goes that this user could not have
// removed anyway.
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

// Runs "rm -rf EPC" through the shell, in a child that works in the
// .valdrane of the home directory on home_fd (an O_PATH descriptor will
// do), and waits for it; nothing when .valdrane is missing, a link or
// anything but a directory. EPC itself may be a link, which rm removes
// without following. Run by root, the child first takes the credentials of
// swapping_user(): that user's groups (none without a passwd entry), its
// primary group (else the directory's group), then its uid, each checked;
// any failure runs nothing. A child that runs as a user other than root
// also leaves the caller's session and terminal: it reads /dev/null, what
// it writes reaches the caller's standard error through a pipe, masked as
// terminal_text.h says, it keeps no other descriptor, and of the
// environment only PATH and the locale. Run by anyone but root, the
// command runs as the caller, as system() would run it. The command's
// outcome is not examined.
void remove_epc_data(int home_fd);

}  // namespace uninstall
