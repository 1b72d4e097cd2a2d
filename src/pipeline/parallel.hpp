// The one worker pool of the library: parallel_for runs a body over an
// index range on a few threads, the calling thread among them, and carries
// the first exception of any of them back to the caller. Threads take
// indices one at a time from a shared counter, so the work is balanced
// whatever the bodies cost; results that depend on the order are the
// caller's business (write them into per-index slots).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace quillet::pipeline {

// Calls body(i, on_caller) once for each i in [0, count), on up to
// `threads` threads; on_caller is true on the calling thread, the only one
// where a Python-side cancellation hook may be polled. The first exception
// thrown by a body stops every thread from taking another index and is
// rethrown here once all have stopped; nothing escapes a worker thread. When
// a thread cannot be started, the others do its share.
template <class Body>
void parallel_for(const std::size_t count, const unsigned threads, Body&& body) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&](const bool on_caller) noexcept {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) return;
            try {
                body(i, on_caller);
            } catch (...) {
                const std::lock_guard lock(error_mutex);
                if (!error) error = std::current_exception();
                next = count;
                return;
            }
        }
    };
    const std::size_t wanted = std::min<std::size_t>(std::max(1u, threads), count);
    std::vector<std::thread> pool;
    try {
        pool.reserve(wanted > 0 ? wanted - 1 : 0);
        for (std::size_t t = 1; t < wanted; ++t) pool.emplace_back(work, false);
    } catch (...) {
        // Out of threads or memory: the ones started and this one finish the range.
    }
    work(true);
    for (std::thread& thread : pool) thread.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace quillet::pipeline
