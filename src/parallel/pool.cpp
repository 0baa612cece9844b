#include "parallel/pool.hpp"

#include <sched.h>

#include <cstdlib>
#include <exception>

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

Pool::Pool(std::size_t workers) : shares_(workers) {
    threads_.reserve(workers);
    try {
        for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this, i] { work(i); });
    } catch (const std::exception& e) {  // std::system_error, or bad_alloc for the thread state
        stop_and_join();
        throw InternalFailure(std::string("failed to build thread pool: ") + e.what());
    }
}

Pool::~Pool() {
    stop_and_join();
}

void Pool::stop_and_join() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

void Pool::run(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body, Monitor* monitor) {
    if (n == 0) return;
    const std::size_t w = shares_.size();
    // Contiguous shares: a worker walks its own part of the range first.
    for (std::size_t i = 0; i < w; ++i) {
        shares_[i].next.store(n * i / w, std::memory_order_relaxed);
        shares_[i].end = n * (i + 1) / w;
    }
    std::unique_lock lock(mutex_);
    body_ = &body;
    error_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    busy_ = w;
    ++generation_;
    wake_.notify_all();
    auto finished = [this] { return busy_ == 0; };
    if (monitor == nullptr) {
        done_.wait(lock, finished);
    } else {
        // The monitor's hook runs here, on the calling thread, between short waits.
        while (!done_.wait_for(lock, std::chrono::milliseconds(20), finished)) {
            if (failed_.load(std::memory_order_relaxed)) continue;
            lock.unlock();
            std::exception_ptr stop;
            try {
                monitor->poll();
            } catch (...) {
                stop = std::current_exception();
            }
            lock.lock();
            if (stop) {
                if (!error_) error_ = stop;
                failed_.store(true, std::memory_order_relaxed);
            }
        }
    }
    body_ = nullptr;
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void Pool::work(std::size_t me) {
    std::uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
        }
        drain(me);
        {
            std::lock_guard lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }
}

void Pool::drain(std::size_t me) {
    const std::size_t w = shares_.size();
    auto take = [&](Share& s) -> std::optional<std::size_t> {
        const std::size_t i = s.next.fetch_add(1, std::memory_order_relaxed);
        if (i < s.end) return i;
        return std::nullopt;
    };
    auto call = [&](std::size_t i) {
        if (failed_.load(std::memory_order_relaxed)) return;
        try {
            (*body_)(i, me);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!error_) error_ = std::current_exception();
            failed_.store(true, std::memory_order_relaxed);
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
