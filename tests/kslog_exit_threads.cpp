// A client of the log facility whose threads are writing entries while its
// main thread calls exit(): kslogCleanup then runs as an exit handler under
// their feet (the monitor's writer thread meets the same at its exit).
// Every entry must be written whole or dropped; nothing may read memory
// the facility released. Run many times by kslog_threads_test, plain, under
// the address sanitizer and under the thread sanitizer.
//
// Usage: kslog_exit_threads [THREADS]
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdlib>

#include "kslog.h"

namespace {

std::atomic<int> written{0};

void* write_entries(void* arg) {
    const long id = reinterpret_cast<long>(arg);
    for (int n = 0;; ++n) {
        KSLOG_IF_ENABLED(KSLOG_INFO, KSLOG_GENERAL, "thread %ld entry %d", id, n);
        written.fetch_add(1, std::memory_order_relaxed);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const long threads = argc > 1 ? std::atol(argv[1]) : 4;
    kslogInit();
    for (long i = 0; i < threads; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, write_entries, reinterpret_cast<void*>(i)) != 0)
            return 2;
        pthread_detach(thread);
    }
    // Exit while they write: after a few entries, at a moment that varies.
    while (written.load(std::memory_order_relaxed) < 8) {
        const struct timespec pause = {0, 100000};
        nanosleep(&pause, nullptr);
    }
    std::exit(0);
}
