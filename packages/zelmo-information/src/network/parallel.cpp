#include "parallel.hpp"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "../kernels/stop.hpp"

namespace zelmo::network {

Pool::Pool(unsigned workers, Poll poll, Progress& progress, std::chrono::milliseconds interval)
    : workers_(workers == 0 ? 1 : workers), poll_(std::move(poll)), progress_(progress), interval_(interval) {}

void Pool::run(std::size_t units, const Body& body) {
    if (units == 0) return;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;
    std::exception_ptr failure;

    auto fail = [&](std::exception_ptr e) {
        std::lock_guard lock(mutex);
        if (!failure) failure = e;
        stop.store(true);
    };
    auto work = [&](unsigned slot) {
        // Long units check `stop` as they go (stop_point), and unwind with
        // Stopped once another thread or the poll has failed.
        const StopScope scope(&stop);
        try {
            for (;;) {
                if (stop.load(std::memory_order_relaxed)) break;
                const std::size_t unit = next.fetch_add(1, std::memory_order_relaxed);
                if (unit >= units) break;
                progress_.done.fetch_add(body(unit, slot), std::memory_order_relaxed);
            }
        } catch (const Stopped&) {
            // The failure that set `stop` is already recorded.
        } catch (...) {
            fail(std::current_exception());
        }
        std::lock_guard lock(mutex);
        if (--running == 0) finished.notify_all();
    };

    const unsigned wanted = static_cast<unsigned>(std::min<std::size_t>(workers_, units));
    std::vector<std::thread> threads;
    threads.reserve(wanted);
    for (unsigned slot = 0; slot < wanted; ++slot) {
        {
            std::lock_guard lock(mutex);
            ++running;
        }
        try {
            threads.emplace_back(work, slot);
        } catch (const std::system_error&) {
            // No more threads to be had: go on with those that started.
            std::lock_guard lock(mutex);
            --running;
            break;
        }
    }
    if (threads.empty()) {
        // Not even one thread: do the work here, without polls.
        for (std::size_t unit = 0; unit < units; ++unit) {
            progress_.done.fetch_add(body(unit, 0), std::memory_order_relaxed);
        }
        return;
    }

    // Wait, polling at every interval. A poll that throws stops the work.
    {
        std::unique_lock lock(mutex);
        while (running != 0) {
            if (finished.wait_for(lock, interval_, [&] { return running == 0; })) break;
            lock.unlock();
            try {
                poll();
            } catch (...) {
                fail(std::current_exception());
            }
            lock.lock();
        }
    }
    for (std::thread& t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
    poll();
}

}  // namespace zelmo::network
