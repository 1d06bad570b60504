// The yardstick for the monitor's memory: a C++ program linked with
// libstdc++ (it names one of the library's functions, so the link stays)
// that does nothing but wait to be measured and killed.
#include <unistd.h>

#include <exception>

int main() {
    (void)std::set_terminate(nullptr);
    for (;;) pause();
}
