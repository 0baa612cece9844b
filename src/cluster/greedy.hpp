#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "anchors/sim_tables.hpp"
#include "parallel/monitor.hpp"
#include "search/centroid_set.hpp"

namespace kelvara {

struct GreedyResult {
    std::vector<std::size_t> assignment;  // centroid of each anchor, in processing order
    std::uint64_t n_comparisons = 0;
    std::uint64_t n_early_exits = 0;
};

struct GreedyOptions {
    double threshold = 0.0;
    bool obg_block_search = false;
    std::int64_t obg_max_probes = 0;
    double effective_cut = 0.0;
    std::size_t workers = 0;     // 0: serial on the calling thread; otherwise a pool of that many
    Monitor* monitor = nullptr;  // progress in anchors, and the way to stop the pass
    // With a pool, blocks of at least this many anchors (and those with a large share of all anchors) are
    // clustered in batches by every lane instead of by one.
    std::size_t parallel_block = 2048;
    // Fewer anchors than this are clustered on the calling thread even when a pool was asked for: starting
    // and joining a worker costs more than the pass (measured on 2 processors: break-even near 1,000).
    std::size_t serial_below = 1536;
    // Trie buckets; 0 for the size that suits the threshold (tests make them small).
    std::uint32_t bucket_max = 0;
    // Block search: most candidate-block pairs found up front, past which each key walks the block index
    // instead; 0 for a limit that grows with the number of keys (tests set it low).
    std::size_t pair_limit = 0;
    // Work for the calling thread that does not touch the pass: with a pool, the pass runs it once, first,
    // while the other lanes cluster. Without a pool the pass leaves it alone; the caller then runs it.
    std::function<void()> beside;
};

// First-fit leader clustering of `n` anchors laid out row by row in processing order.
GreedyResult greedy_cluster(const SimTables& tables, const std::uint8_t* residues, std::size_t n,
                            const GreedyOptions& options);

}  // namespace kelvara
