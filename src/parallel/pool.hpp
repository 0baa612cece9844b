#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/monitor.hpp"

namespace kelvara {

inline constexpr std::size_t kMaxWorkers = 65535;

// An environment value naming a thread count: optional '+', then decimal digits only, within u64.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The body of a spin-wait: tells the processor so, where it can be told.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Default size: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processors this process may run on.
std::size_t default_pool_size();

// Workers for a request other than 1: >= 2 is exact, 0 or negative the default; at most kMaxWorkers.
std::size_t pool_size(std::int64_t threads);

// Lanes of work for one call: the calling thread and size() - 1 persistent workers. run() hands them an
// index range; each lane takes indices from its own share with an atomic counter and steals from others
// when it runs dry, so the split never decides a result. Between runs, workers spin for a moment before
// they sleep (unless there are more lanes than processors), so that back-to-back runs separated by short
// serial steps do not pay for waking them.
class Pool {
public:
    // Throws InternalFailure "failed to build thread pool: <cause>" after joining what had started.
    explicit Pool(std::size_t lanes);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t size() const { return shares_.size(); }

    // Calls body(i, lane) once for every i in [0, n); the calling thread is lane size() - 1 and must be the
    // one that built the pool. Rethrows the first exception a call raised. Between its own calls and while
    // it waits for the workers, the calling thread polls `monitor`; a stop request ends the remaining calls
    // early. When `first` is given (and n > 0), the calling thread runs it before it takes any index, and
    // the workers meanwhile take its share; an exception from it counts like one from a call.
    void run(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body, Monitor* monitor = nullptr,
             const std::function<void()>& first = {});

private:
    struct alignas(64) Share {
        std::atomic<std::size_t> next{0};
        std::size_t end = 0;
    };

    void work(std::size_t me);
    void drain(std::size_t me, Monitor* monitor);
    void fail(std::exception_ptr error);
    template <class Ready>
    bool spin_until(Ready ready) const;
    void stop_and_join();

    std::vector<Share> shares_;
    std::vector<std::thread> threads_;
    bool spin_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::size_t> busy_{0};
    std::atomic<bool> stopping_{false};
    const std::function<void(std::size_t, std::size_t)>* body_ = nullptr;
    std::exception_ptr error_;
    std::atomic<bool> failed_{false};
    std::size_t started_ = 0;   // workers past their start, under mutex_
    bool start_failed_ = false;  // one of them could not get the memory to run
};

// out[i] = f(local, i) for i in [0, n), written in place; a plain loop when there is no pool. Each lane gets
// its own `local`, made by make() before its first element.
// Each element counts as one unit of `monitor`'s stage.
template <class Make, class F>
auto parallel_map_local(Pool* pool, std::size_t n, Make&& make, F&& f, Monitor* monitor = nullptr) {
    using Local = std::invoke_result_t<Make&>;
    using R = std::invoke_result_t<F&, Local&, std::size_t>;
    std::vector<R> out(n);
    if (pool == nullptr) {
        Local local = make();
        Ticker tick(monitor, 16);
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = f(local, i);
            tick();
        }
    } else {
        std::vector<std::optional<Local>> locals(pool->size());
        pool->run(
            n,
            [&](std::size_t i, std::size_t w) {
                if (!locals[w]) locals[w].emplace(make());
                out[i] = f(*locals[w], i);
                if (monitor != nullptr) monitor->add_quietly(1);
            },
            monitor);
    }
    return out;
}

// out[i] = f(i).
template <class F>
auto parallel_map(Pool* pool, std::size_t n, F&& f, Monitor* monitor = nullptr) {
    return parallel_map_local(
        pool, n, [] { return 0; }, [&](int&, std::size_t i) { return f(i); }, monitor);
}

// out[k] = f(items[k]).
template <class T, class F>
auto parallel_map(Pool* pool, const std::vector<T>& items, F&& f, Monitor* monitor = nullptr) {
    return parallel_map(
        pool, items.size(), [&](std::size_t k) { return f(items[k]); }, monitor);
}

}  // namespace kelvara
