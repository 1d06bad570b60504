// The hand-off, the uninstaller's last step: it becomes the program that
// removes the product.
#pragma once

// Replace this process with "rpm -e Kestrun" (rpm found through PATH), or
// with "/usr/sbin/kestRun --uninstall". They return only when the
// replacement failed: the error is on standard error as perror("execl")
// writes it, and the result is 1.
int uninstallRpm();
int uninstallBasic();
