// The middle layer of an overlay built in a user namespace.
//
// There the host's files keep their owners, and an owner the namespace
// does not map (root, for an ordinary user) shows as the overflow user:
// the namespace's root may not write such a file or create names in such
// a directory, so /etc and /usr/sbin would be read-only in practice. A
// layer between the host's tree and the overlay's upper layer, made by the
// namespace's root, gives every directory (and, for /etc, every file and
// link this user can read) an owner the namespace maps. What the layer
// leaves out (what this user cannot read, what another file system mounts
// inside the tree) still shows through from the host's tree below it.
#pragma once

#include <string>

namespace kssandbox {

enum class MirrorContent { kDirectories, kEverythingReadable };

// Builds the layer at target (an empty directory) from the tree at source.
// Ends the sandbox through fail_step when the layer cannot be written.
void mirror_tree(const std::string& source, const std::string& target, MirrorContent content);

}  // namespace kssandbox
