// Detaching into the background, as daemon(0, 0) does.
#pragma once

// Forks; the parent ends at once with _exit(0), so it runs no exit handler
// (which would delete the flag file and the shared log link under the
// child). The child becomes a session leader, moves to "/" and points its
// standard streams at /dev/null. Returns 0 in the child, or -1 with errno
// set when a step fails (in the caller's process when the fork itself fails).
int detach_into_background();
