// A small pool of std::threads for one call: workers take units of work
// from an atomic counter while the calling thread waits, waking at a fixed
// interval to report progress and to ask whether the caller wants to stop.
// Nothing here knows about Python; the caller's poll does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zelmo::network {

// Units done so far out of the total of every phase of one call.
struct Progress {
    std::atomic<std::uint64_t> done{0};
    std::uint64_t total = 0;
};

// Called on the calling thread about every `interval` while work runs, and
// once more when a phase ends. It may throw (to stop the call): the
// workers then stop at the next stop point of their current unit (see
// kernels/stop.hpp) or after it, are joined, and the exception is rethrown
// from run().
using Poll = std::function<void(std::uint64_t done, std::uint64_t total)>;

class Pool {
public:
    Pool(unsigned workers, Poll poll, Progress& progress,
         std::chrono::milliseconds interval = std::chrono::milliseconds(25));

    unsigned workers() const { return workers_; }

    // Runs body(unit, slot) for every unit in [0, units), each exactly once,
    // on up to workers() threads; `slot` < workers() names the thread, for
    // per-thread scratch. The body returns how much progress its unit made.
    // The first exception of a body or of the poll stops every thread and
    // is rethrown here after all have been joined.
    using Body = std::function<std::uint64_t(std::size_t unit, unsigned slot)>;
    void run(std::size_t units, const Body& body);

    // Calls the poll on the calling thread (between phases).
    void poll() const { if (poll_) poll_(progress_.done.load(), progress_.total); }

private:
    unsigned workers_;
    Poll poll_;
    Progress& progress_;
    std::chrono::milliseconds interval_;
};

}  // namespace zelmo::network
