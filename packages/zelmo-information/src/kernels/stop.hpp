// Stopping long work early. A thread that runs part of a call which may be
// asked to end (Ctrl-C, or a failure on another thread) carries a stop flag
// for the time it works; long loops call stop_point() every so often, which
// unwinds with Stopped once the flag is set. A thread without a flag (every
// call of the single-pair measures) never stops: a check is then one
// thread-local load.
#pragma once

#include <atomic>
#include <cstddef>

namespace zelmo {

// Thrown by stop_point() when the thread's stop flag is set. Whoever set the
// flag holds the reason for stopping; this only unwinds the work.
struct Stopped {};

namespace detail {
inline thread_local const std::atomic<bool>* stop_flag = nullptr;
}  // namespace detail

// Gives the current thread `flag` as its stop flag while it lives.
class StopScope {
public:
    explicit StopScope(const std::atomic<bool>* flag) : previous_(detail::stop_flag) { detail::stop_flag = flag; }
    ~StopScope() { detail::stop_flag = previous_; }
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    const std::atomic<bool>* previous_;
};

// Throws Stopped when the current thread has been asked to stop.
inline void stop_point() {
    const std::atomic<bool>* flag = detail::stop_flag;
    if (flag != nullptr && flag->load(std::memory_order_relaxed)) throw Stopped{};
}

// Steps between two checks of a long loop: a few hundred microseconds of
// work at most.
inline constexpr std::size_t kStopInterval = std::size_t{1} << 12;

// stop_point() at every kStopInterval-th step of a loop.
inline void stop_point(std::size_t step) {
    if ((step & (kStopInterval - 1)) == 0) stop_point();
}

// stop_point() at every `interval`-th step (a power of two) of a loop whose
// steps are slow, such as one binary search of a long table per step.
inline void stop_point(std::size_t step, std::size_t interval) {
    if ((step & (interval - 1)) == 0) stop_point();
}

// stop_point() about every kStopInterval steps of a loop that moves on by
// runs of any length: at(step) with the loop's position.
class StopEvery {
public:
    void at(std::size_t step) {
        if (step >= next_) {
            stop_point();
            next_ = step + kStopInterval;
        }
    }

private:
    std::size_t next_ = kStopInterval;
};

// Calls f(begin, end) over [0, n) in pieces of kStopInterval steps, with a
// stop point before each piece, so that the loop inside stays plain.
template <class F>
inline void for_pieces(std::size_t n, F f) {
    for (std::size_t begin = 0; begin < n; begin += kStopInterval) {
        stop_point();
        f(begin, n - begin < kStopInterval ? n : begin + kStopInterval);
    }
}

// A comparison that checks for a stop every kStopInterval calls, for long
// sorts; `calls` counts them across the copies a sort makes.
template <class Less>
struct StoppingLess {
    Less less;
    std::size_t* calls;

    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
        stop_point(++*calls);
        return less(a, b);
    }
};

template <class Less>
StoppingLess<Less> stopping(Less less, std::size_t& calls) {
    return StoppingLess<Less>{less, &calls};
}

}  // namespace zelmo
