#include "hand_off.h"

#include <unistd.h>

#include <cstdio>

int uninstallRpm() {
    ::execlp("rpm", "rpm", "-e", "Kestrun", static_cast<char*>(nullptr));
    std::perror("execl");
    return 1;
}

int uninstallBasic() {
    ::execl("/usr/sbin/kestRun", "/usr/sbin/kestRun", "--uninstall", static_cast<char*>(nullptr));
    std::perror("execl");
    return 1;
}
