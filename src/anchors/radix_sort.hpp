#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelvara {

// Sorts stably by the low `bits` bits of the number, sixteen at a time.
inline void radix_sort(std::vector<std::pair<std::uint64_t, std::size_t>>& items, unsigned bits) {
    std::vector<std::pair<std::uint64_t, std::size_t>> spare(items.size());
    std::vector<std::size_t> start(std::size_t{1} << 16);
    for (unsigned shift = 0; shift < bits; shift += 16) {
        std::fill(start.begin(), start.end(), 0);
        for (const auto& k : items) ++start[k.first >> shift & 0xFFFF];
        std::size_t sum = 0;
        for (std::size_t& s : start) sum += std::exchange(s, sum);
        for (const auto& k : items) spare[start[k.first >> shift & 0xFFFF]++] = k;
        items.swap(spare);
    }
}

}  // namespace kelvara
