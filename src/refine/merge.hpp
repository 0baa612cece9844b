#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parallel/monitor.hpp"
#include "parallel/pool.hpp"
#include "refine/reassign.hpp"

namespace kelvara {

// Lets each centroid, largest cluster first, absorb strictly smaller clusters of its own and neighbouring
// blocks whose centroid is at least `threshold` similar, examining at most `merge_cap` candidates when
// merge_cap > 0, then relabels `assignment`. Which candidates a centroid examines does not depend on what
// was absorbed before, so their similarities may be judged on the pool; they are applied in merge order.
// Returns the number of clusters absorbed.
std::uint64_t merge_step(const RefineData& data, std::vector<std::size_t>& assignment, double threshold,
                         std::int64_t merge_cap, Pool* pool, Monitor* monitor = nullptr);

}  // namespace kelvara
