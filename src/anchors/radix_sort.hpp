#pragma once

#include <algorithm>
#include <bit>
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

// The processing order: indices by count, most frequent first; equal counts keep their order. A stable
// sort on how far each count lies below the largest; counts within a small range are counted into place.
inline std::vector<std::size_t> processing_order(const std::vector<std::uint64_t>& counts) {
    const std::size_t n = counts.size();
    std::vector<std::size_t> order(n);
    if (n == 0) return order;
    const std::uint64_t top = *std::max_element(counts.begin(), counts.end());
    if (constexpr std::uint64_t kCounted = 1u << 16; top < kCounted) {
        std::vector<std::size_t> start(top + 2, 0);
        for (std::uint64_t c : counts) ++start[top - c + 1];
        for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
        for (std::size_t i = 0; i < n; ++i) order[start[top - counts[i]]++] = i;
    } else {
        std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
        for (std::size_t i = 0; i < n; ++i) keyed[i] = {top - counts[i], i};
        radix_sort(keyed, static_cast<unsigned>(std::bit_width(top)));
        for (std::size_t k = 0; k < n; ++k) order[k] = keyed[k].second;
    }
    return order;
}

}  // namespace kelvara
