#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anchors/sim_tables.hpp"
#include "parallel/monitor.hpp"
#include "parallel/pool.hpp"

namespace kelvara {

struct SeededResult {
    // Per new anchor, in processing order: the reference centroid it joined (its index, below the number
    // of references), or n_references + k when it joined new anchor k, which became a centroid.
    std::vector<std::size_t> assignment;
    std::uint64_t n_comparisons = 0;
    std::uint64_t n_early_exits = 0;
};

// The greedy first-fit pass over `n` new anchors in processing order, with every block's centroid list
// starting as the reference centroids of that block, in reference order: a new anchor joins the first
// centroid it reaches `threshold` with, reference or new, or becomes a new centroid after them. Reference
// centroids are never compared with each other. An anchor whose text equals a reference centroid
// (`equal[i]`, SIZE_MAX for none) joins it at once, with no comparison. Blocks are independent, so they
// run side by side on `pool` (nullptr: serially) with the same result.
SeededResult seeded_cluster(const SimTables& t, const std::uint8_t* references, std::size_t n_references,
                            const std::uint8_t* residues, std::size_t n, const std::vector<std::size_t>& equal,
                            double threshold, Pool* pool, Monitor* monitor);

}  // namespace kelvara
