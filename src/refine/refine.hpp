#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anchors/anchor_table.hpp"
#include "anchors/sim_tables.hpp"
#include "parallel/monitor.hpp"
#include "parallel/pool.hpp"

namespace kelvara {

struct RefineOptions {
    double threshold;
    std::uint64_t iterations;
    std::int64_t cap;
    bool merge;
    bool fast_medoid;
    std::int64_t merge_cap;
    Monitor* monitor = nullptr;
};

struct RefineStats {
    std::uint64_t passes = 0, medoid_changes = 0, reassignments = 0, merges = 0, initial_clusters = 0,
                  final_clusters = 0;
};

struct RefineData;

// `assignment` holds the mapping as read (every anchor's centroid index); refined in place.
RefineStats refine_passes(const AnchorTable& table, const SimTables& tables, std::vector<std::size_t>& assignment,
                          const RefineOptions& options, Pool* pool);

// The same with the call's data made beforehand (it needs no mapping, so it can be made while one is read).
RefineStats refine_passes(const RefineData& data, std::vector<std::size_t>& assignment, const RefineOptions& options,
                          Pool* pool);

}  // namespace kelvara
