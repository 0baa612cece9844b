#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace kelvara {

// The hook asked the call to stop (an interrupt, or a progress callback that failed). Whoever installed
// the hook already knows why; everything else just unwinds.
struct Stopped {};

// Progress and interruption of one call. Loops on any thread report work done; only the thread that
// created the monitor calls the hook, at most every `interval`, so the hook may do what only that thread
// may do (the binding re-takes the interpreter lock there to look for signals). Workers see a stop
// request through a flag and unwind with Stopped.
class Monitor {
public:
    struct Report {
        const char* stage;
        std::uint64_t pass;
        std::uint64_t done;
        std::uint64_t total;
    };
    // Returns false to stop the call.
    using Hook = std::function<bool(const Report&)>;

    explicit Monitor(Hook hook = {}, std::chrono::milliseconds interval = std::chrono::milliseconds(100))
        : hook_(std::move(hook)), interval_(interval), owner_(std::this_thread::get_id()) {}
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Owner thread: starts a stage of `total` units and reports it at once.
    void stage(const char* name, std::uint64_t pass, std::uint64_t total) {
        stage_ = name;
        pass_ = pass;
        total_ = total;
        done_.store(0, std::memory_order_relaxed);
        report();
    }

    // Owner thread: reports the stage as complete.
    void finish() {
        done_.store(total_, std::memory_order_relaxed);
        report();
    }

    // Any thread: `n` more units done. Throws Stopped once a stop was requested.
    void advance(std::uint64_t n) {
        done_.fetch_add(n, std::memory_order_relaxed);
        if (std::this_thread::get_id() == owner_) {
            poll();
        } else if (stopping()) {
            throw Stopped{};
        }
    }

    // Owner thread: calls the hook when the interval has passed since the last report.
    void poll() {
        if (stopping()) throw Stopped{};
        if (!hook_ || std::chrono::steady_clock::now() < next_) return;
        report();
    }

    bool stopping() const { return stop_.load(std::memory_order_relaxed); }

    // Any thread: counts units without polling or throwing.
    void add_quietly(std::uint64_t n) { done_.fetch_add(n, std::memory_order_relaxed); }

private:
    void report() {
        if (!hook_) return;
        const Report r{stage_, pass_, done_.load(std::memory_order_relaxed), total_};
        next_ = std::chrono::steady_clock::now() + interval_;
        if (!hook_(r)) {
            stop_.store(true, std::memory_order_relaxed);
            throw Stopped{};
        }
    }

    Hook hook_;
    std::chrono::milliseconds interval_;
    std::thread::id owner_;
    std::chrono::steady_clock::time_point next_{};
    const char* stage_ = "";
    std::uint64_t pass_ = 0;
    std::uint64_t total_ = 0;
    std::atomic<std::uint64_t> done_{0};
    std::atomic<bool> stop_{false};
};

// Counts units locally and reports them in batches, so that per-item loops stay cheap.
class Ticker {
public:
    explicit Ticker(Monitor* monitor, std::uint64_t batch = 64) : monitor_(monitor), batch_(batch) {}
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;
    ~Ticker() {
        // Unwinding may pass here; only the count is handed over, nothing that can throw.
        if (monitor_ != nullptr && pending_ > 0) monitor_->add_quietly(pending_);
    }

    void operator()(std::uint64_t n = 1) {
        pending_ += n;
        if (pending_ < batch_ || monitor_ == nullptr) return;
        const std::uint64_t n_done = pending_;
        pending_ = 0;
        monitor_->advance(n_done);
    }

private:
    Monitor* monitor_;
    std::uint64_t batch_;
    std::uint64_t pending_ = 0;
};

}  // namespace kelvara
