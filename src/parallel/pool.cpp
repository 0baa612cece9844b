#include "parallel/pool.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <system_error>

#include "anchors/errors.hpp"

namespace kelvara {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

std::size_t processor_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

std::optional<std::uint64_t> env_count(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return parse_thread_count(value);
}

std::size_t capped(std::uint64_t n) {
    return n > kMaxWorkers ? kMaxWorkers : static_cast<std::size_t>(n);
}

}  // namespace

std::size_t default_pool_size() {
    if (auto n = env_count("RAYON_NUM_THREADS")) {
        // 0 asks for the processor count and skips the second variable.
        return capped(*n > 0 ? *n : processor_count());
    }
    if (auto n = env_count("RAYON_RS_NUM_CPUS"); n && *n > 0) return capped(*n);
    return capped(processor_count());
}

std::size_t pool_size(std::int64_t threads) {
    if (threads <= 0) return default_pool_size();
    return capped(static_cast<std::uint64_t>(threads));
}

namespace {

// How long an idle lane spins before it sleeps: longer than the serial steps between back-to-back runs.
constexpr auto kSpin = std::chrono::microseconds(500);

}  // namespace

Pool::Pool(std::size_t lanes) : shares_(std::max<std::size_t>(lanes, 1)) {
    // Spinning lanes on shared processors would only take turns away from the ones with work.
    spin_ = shares_.size() <= processor_count();
    threads_.reserve(shares_.size() - 1);
    try {
        for (std::size_t i = 0; i + 1 < shares_.size(); ++i) threads_.emplace_back([this, i] { work(i); });
    } catch (const std::exception& e) {  // std::system_error, or bad_alloc for the thread state
        stop_and_join();
        throw InternalFailure(std::string("failed to build thread pool: ") + e.what());
    }
    bool started;
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return started_ == threads_.size(); });
        started = !start_failed_;
    }
    if (!started) {
        stop_and_join();
        throw InternalFailure("failed to build thread pool: " + std::generic_category().message(ENOMEM));
    }
}

Pool::~Pool() {
    stop_and_join();
}

void Pool::stop_and_join() {
    {
        std::lock_guard lock(mutex_);
        stopping_.store(true, std::memory_order_release);
    }
    wake_.notify_all();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

template <class Ready>
bool Pool::spin_until(Ready ready) const {
    if (!spin_) return ready();
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        cpu_relax();
        if (i % 64 != 0) continue;
        // The thread waited for may be queued behind this one on the same processor (a thread just
        // started often is): let it run.
        std::this_thread::yield();
        if (std::chrono::steady_clock::now() >= until) return ready();
    }
}

void Pool::fail(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
    failed_.store(true, std::memory_order_relaxed);
}

void Pool::run(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body, Monitor* monitor,
               const std::function<void()>& first) {
    if (n == 0) return;
    const std::size_t w = shares_.size();
    // Contiguous shares: a lane walks its own part of the range first.
    for (std::size_t i = 0; i < w; ++i) {
        shares_[i].next.store(n * i / w, std::memory_order_relaxed);
        shares_[i].end = n * (i + 1) / w;
    }
    body_ = &body;
    error_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    busy_.store(threads_.size(), std::memory_order_relaxed);
    {
        // Under the lock, so that a worker about to sleep either sees the new generation or is woken.
        std::lock_guard lock(mutex_);
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();

    if (first) {
        try {
            first();
        } catch (...) {
            fail(std::current_exception());
        }
    }
    drain(w - 1, monitor);

    auto finished = [this] { return busy_.load(std::memory_order_acquire) == 0; };
    if (!spin_until(finished)) {
        std::unique_lock lock(mutex_);
        if (monitor == nullptr) {
            done_.wait(lock, finished);
        } else {
            // The monitor's hook runs here, on the calling thread, between short waits.
            while (!done_.wait_for(lock, std::chrono::milliseconds(20), finished)) {
                if (failed_.load(std::memory_order_relaxed)) continue;
                lock.unlock();
                try {
                    monitor->poll();
                } catch (...) {
                    fail(std::current_exception());
                }
                lock.lock();
            }
        }
    }
    body_ = nullptr;
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void Pool::work(std::size_t me) {
    // The C++ runtime keeps its exception state in thread-local storage that glibc allocates on first use,
    // and aborts the process when it cannot: under a memory limit, at the first throw, a bad_alloc. So a
    // lane makes sure of a little memory (malloc fails without aborting), then takes that storage at once.
    constexpr std::size_t kStartRoom = 64 << 10;
    void* room = std::malloc(kStartRoom);
    if (room != nullptr) {
        static_cast<volatile char*>(room)[0] = 0;
        std::free(room);
        [[maybe_unused]] volatile int touched = std::uncaught_exceptions();  // volatile: the call is pure
    }
    {
        std::lock_guard lock(mutex_);
        ++started_;
        start_failed_ = start_failed_ || room == nullptr;
    }
    done_.notify_all();
    if (room == nullptr) return;
    std::uint64_t seen = 0;
    auto ready = [&] {
        return stopping_.load(std::memory_order_acquire) || generation_.load(std::memory_order_acquire) != seen;
    };
    for (;;) {
        if (!spin_until(ready)) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, ready);
        }
        if (stopping_.load(std::memory_order_acquire)) return;
        seen = generation_.load(std::memory_order_acquire);
        drain(me, nullptr);
        if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            // Under the lock, so that the caller either sees the count at zero or is woken.
            std::lock_guard lock(mutex_);
            done_.notify_one();
        }
    }
}

void Pool::drain(std::size_t me, Monitor* monitor) {
    const std::size_t w = shares_.size();
    auto take = [&](Share& s) -> std::optional<std::size_t> {
        const std::size_t i = s.next.fetch_add(1, std::memory_order_relaxed);
        if (i < s.end) return i;
        return std::nullopt;
    };
    auto call = [&](std::size_t i) {
        if (failed_.load(std::memory_order_relaxed)) return;
        try {
            if (monitor != nullptr) monitor->poll();
            (*body_)(i, me);
        } catch (...) {
            fail(std::current_exception());
        }
    };
    while (auto i = take(shares_[me])) call(*i);
    // Steal from the share with the most left until every share is empty.
    for (;;) {
        std::size_t victim = w, most = 0;
        for (std::size_t v = 0; v < w; ++v) {
            const std::size_t next = shares_[v].next.load(std::memory_order_relaxed);
            if (next < shares_[v].end && shares_[v].end - next > most) {
                most = shares_[v].end - next;
                victim = v;
            }
        }
        if (victim == w) return;
        if (auto i = take(shares_[victim])) call(*i);
    }
}

}  // namespace kelvara
