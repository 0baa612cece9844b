#include <atomic>
#include <cstdlib>
#include <cstring>

#include "search/kernels.hpp"

namespace kelvara::search {

std::size_t available_levels(const Kernels** out, std::size_t capacity) {
    std::size_t n = 0;
    auto add = [&](const Kernels* k) {
        if (n < capacity) out[n] = k;
        ++n;
    };
    add(&kScalarKernels);
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) add(&kAvx2Kernels);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) add(&kAvx512Kernels);
#endif
    return n;
}

namespace {

const Kernels* pick(const char* name) {
    const Kernels* levels[3];
    const std::size_t n = available_levels(levels, 3);
    if (name != nullptr)
        for (std::size_t i = 0; i < n; ++i)
            if (std::strcmp(levels[i]->name, name) == 0) return levels[i];
    return levels[n - 1];
}

// The one piece of process-wide state: which kernels run. Set once at import; tests may switch it.
std::atomic<const Kernels*> active{nullptr};

}  // namespace

const Kernels& kernels() {
    const Kernels* k = active.load(std::memory_order_relaxed);
    if (k == nullptr) {
        k = pick(std::getenv("KELVARA_SIMD"));
        active.store(k, std::memory_order_relaxed);
    }
    return *k;
}

const char* use_level(const char* name) {
    const Kernels* k = pick(name);
    active.store(k, std::memory_order_relaxed);
    return k->name;
}

}  // namespace kelvara::search
