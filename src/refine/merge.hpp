#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anchors/anchor_table.hpp"
#include "anchors/sim_tables.hpp"
#include "parallel/monitor.hpp"

namespace kelvara {

// Lets each centroid, largest cluster first, absorb strictly smaller clusters of its own and neighbouring
// blocks whose centroid is at least `threshold` similar, examining at most `merge_cap` candidates when
// merge_cap > 0, then relabels `assignment`. Serial: the visiting order decides the result.
// Returns the number of clusters absorbed.
std::uint64_t merge_step(const AnchorTable& table, const SimTables& tables, const std::uint8_t* codes,
                         std::vector<std::size_t>& assignment, double threshold, std::int64_t merge_cap,
                         Monitor* monitor = nullptr);

}  // namespace kelvara
