#include "log_queue.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ignore_result.h"
#include "timespec_of.h"

namespace {

struct log_slot {
    int priority;
    int category;
    // Entries dropped just before this one: the writer says so first.
    unsigned lost_before;
    // No entry of its own: only the loss is to be told (at exit).
    bool loss_only;
    // The text when it did not fit in place (malloc'd, freed by the writer).
    char* overflow;
    char text[kLogSlotText];
};

// The ring: the monitor's thread fills slots at `ring_head`, the writer
// empties them at `ring_tail`; both only ever grow (wrapping as unsigned).
static_assert(sizeof(log_slot) == 256, "a slot fills 256 bytes");
log_slot ring[kLogQueueEntries];
// Slots filled so far; also the word the writer sleeps on.
std::atomic<uint32_t> ring_head{0};
// Slots written so far.
std::atomic<uint32_t> ring_tail{0};
// The writer is asleep, or about to be, on ring_head: a new entry wakes it.
std::atomic<uint32_t> writer_sleeping{0};
// Set at exit: the writer takes no further slot.
std::atomic<bool> writer_closed{false};
// Whether start_log_writer succeeded; only the monitor's thread changes it.
bool writer_running = false;
// Entries dropped since the last one queued; only the monitor's thread uses it.
unsigned dropped_entries = 0;

// Set at exit while the monitor's thread waits on ring_tail for the queue
// to empty: the writer then wakes it after each entry.
std::atomic<uint32_t> drain_waiting{0};

long futex(std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* timeout = nullptr) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG, value,
                   timeout, nullptr, 0);
}

void write_slot(const log_slot& slot) {
    if (slot.lost_before > 0 && kslogGetPriority(KSLOG_GENERAL) <= KSLOG_WARN)
        kslogWrite_private(KSLOG_WARN, KSLOG_GENERAL, kLostEntriesFormat, slot.lost_before);
    if (slot.loss_only) return;
    // "%s": the text was formatted when the entry was made; the facility
    // adds the prefix (stamped now, under the lock) and, unless the text
    // ends in one, the line end, so the bytes are those of a direct call.
    kslogWrite_private(slot.priority, slot.category, "%s",
                       slot.overflow ? slot.overflow : slot.text);
}

void* writer_main(void*) {
    uint32_t tail = ring_tail.load(std::memory_order_relaxed);
    for (;;) {
        if (writer_closed.load(std::memory_order_acquire)) return nullptr;
        const uint32_t head = ring_head.load(std::memory_order_acquire);
        if (tail == head) {
            // Announce the sleep before looking once more, so an entry
            // queued in between either is seen here or wakes the futex.
            writer_sleeping.store(1, std::memory_order_seq_cst);
            if (ring_head.load(std::memory_order_seq_cst) == tail && !writer_closed.load())
                kestrun::ignore_result(
                    futex(ring_head, FUTEX_WAIT, tail));  // any return: look again
            writer_sleeping.store(0, std::memory_order_relaxed);
            continue;
        }
        log_slot& slot = ring[tail % kLogQueueEntries];
        write_slot(slot);
        std::free(slot.overflow);
        slot.overflow = nullptr;
        ++tail;
        ring_tail.store(tail, std::memory_order_seq_cst);
        if (drain_waiting.load(std::memory_order_seq_cst) != 0)
            kestrun::ignore_result(futex(ring_tail, FUTEX_WAKE, 1));  // it looks again on any wake
    }
}

// Claims the next slot, or counts the entry as lost when the ring is full.
log_slot* claim_slot() {
    const uint32_t head = ring_head.load(std::memory_order_relaxed);
    if (head - ring_tail.load(std::memory_order_acquire) >= kLogQueueEntries) {
        ++dropped_entries;
        return nullptr;
    }
    log_slot& slot = ring[head % kLogQueueEntries];
    slot.lost_before = dropped_entries;
    slot.loss_only = false;
    slot.overflow = nullptr;
    dropped_entries = 0;
    return &slot;
}

// Hands the claimed slot to the writer: one wake-up call at most, and none
// while the writer is busy.
void publish_slot() {
    ring_head.fetch_add(1, std::memory_order_seq_cst);
    if (writer_sleeping.load(std::memory_order_seq_cst) != 0)
        kestrun::ignore_result(futex(ring_head, FUTEX_WAKE, 1));  // it looks again on any wake
}

// Formats the text into `buf`; a longer one into memory of its own (the
// result), as the log facility does for long entries. Without that memory,
// what fits in `buf` is kept. Null when `buf` holds the text.
char* format_text(char* buf, size_t size, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    char* big = nullptr;
    const int wanted = std::vsnprintf(buf, size, format, args);
    if (wanted < 0) {
        buf[0] = '\0';  // cannot be formatted: the entry is the prefix alone
    } else if (static_cast<size_t>(wanted) >= size) {
        big = static_cast<char*>(std::malloc(static_cast<size_t>(wanted) + 1));
        if (big != nullptr)
            kestrun::ignore_result(
                std::vsnprintf(big, static_cast<size_t>(wanted) + 1, format, again));
    }
    va_end(again);
    return big;
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked through the format attribute
void monitor_log(int priority, int category, const char* format, ...) {
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    if (!writer_running) {
        // The log facility's own inline size: a direct entry allocates no
        // more often than it did when the call sites wrote it themselves.
        char text[2048];
        char* big = format_text(text, sizeof text, format, args);
        kslogWrite_private(priority, category, "%s", big ? big : text);
        std::free(big);
    } else if (log_slot* slot = claim_slot()) {
        slot->priority = priority;
        slot->category = category;
        slot->overflow = format_text(slot->text, sizeof slot->text, format, args);
        publish_slot();
    }
    va_end(args);
    errno = saved_errno;
}

bool start_log_writer() {
    if (writer_running) return true;
    // The writer takes no signal: they are all the monitor thread's.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    if (pthread_sigmask(SIG_SETMASK, &all, &old) != 0) return false;
    pthread_t thread;
    const int made = pthread_create(&thread, nullptr, writer_main, nullptr);
    kestrun::ignore_result(pthread_sigmask(SIG_SETMASK, &old, nullptr));  // restores what it had
    if (made != 0) return false;
    kestrun::ignore_result(pthread_detach(thread));  // never joined: it may be stuck in the kernel
    writer_running = true;
    return true;
}

void finish_log_writer() {
    if (!writer_running) return;
    const int saved_errno = errno;
    // A loss with no entry after it is still told, if the queue has room
    // for the telling (nothing is queued after this).
    if (dropped_entries > 0) {
        const unsigned lost = dropped_entries;
        if (log_slot* slot = claim_slot()) {
            slot->lost_before = lost;
            slot->loss_only = true;
            publish_slot();
        }
    }
    // Up to a second for what is queued: the flag file is gone already, and
    // pppd has had its signal.
    drain_waiting.store(1, std::memory_order_seq_cst);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        const uint32_t tail = ring_tail.load(std::memory_order_seq_cst);
        if (tail == ring_head.load(std::memory_order_relaxed)) break;
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) break;
        const timespec timeout = timespec_of(left);
        // Ends when the writer finishes an entry, at the timeout, or at once
        // when it finished one since the look above.
        kestrun::ignore_result(futex(ring_tail, FUTEX_WAIT, tail, &timeout));
    }
    // Whatever is left stays unwritten; a writer stuck in the kernel is
    // left there, and the process's end takes it down.
    writer_closed.store(true, std::memory_order_release);
    kestrun::ignore_result(futex(ring_head, FUTEX_WAKE, 1));
    errno = saved_errno;
}
