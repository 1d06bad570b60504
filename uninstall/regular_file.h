// Opening the files the uninstaller reads: the pid file the client leaves in
// /tmp and the user's settings file.
#pragma once

#include "unique_fd.h"

namespace uninstall {

// Opens path read-only (close-on-exec, plus extra_flags such as O_NOFOLLOW)
// when it is a regular file. A FIFO, device, socket or directory planted at
// the path counts as a file that cannot be opened, so reading it can neither
// block nor run forever. Returns an empty descriptor on any failure, with
// errno set (EINVAL when the path is not a regular file).
kestrun::unique_fd open_regular_file(const char* path, int extra_flags = 0);

}  // namespace uninstall
