#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "anchors/anchor_table.hpp"
#include "anchors/sim_tables.hpp"
#include "parallel/pool.hpp"

namespace kelvara {

// Anchors grouped by centroid. Cluster k has centroid centroids[k] and the members
// members[offsets[k] .. offsets[k + 1]), ordered by anchor text.
struct ClusterMembers {
    std::vector<std::size_t> centroids;  // ascending anchor index
    std::vector<std::size_t> offsets;    // centroids.size() + 1 entries
    std::vector<std::size_t> members;

    std::size_t size() const { return centroids.size(); }
    std::span<const std::size_t> of(std::size_t k) const {
        return {members.data() + offsets[k], offsets[k + 1] - offsets[k]};
    }
};

// `by_text` lists every anchor index in ascending text order; walking it keeps each list sorted for free.
// Fills `out` in place, using `slot` as working space: refilled every pass, both keep the pages they have.
void cluster_members(const std::vector<std::size_t>& assignment, const std::vector<std::size_t>& by_text,
                     ClusterMembers& out, std::vector<std::size_t>& slot);

// The member with the greatest count-weighted mean similarity to the other members, from all pairs;
// the earliest member wins a tie and `current` is returned for an empty list.
std::size_t medoid_exact(const SimTables& tables, const std::uint8_t* residues, const std::uint64_t* counts,
                         std::span<const std::size_t> members, std::size_t current);

// The same objective from per-position residue histograms, taking every self-similarity as 1.
std::size_t medoid_fast(const SimTables& tables, const std::uint8_t* residues, const std::uint64_t* counts,
                        std::span<const std::size_t> members, std::size_t current);

// New centroid of every cluster, in cluster order; one-member clusters keep theirs without a kernel call,
// and so do clusters whose centroid is marked in `settled` (by anchor index), known to be their medoid.
std::vector<std::size_t> medoid_step(const SimTables& tables, const AnchorTable& table, const ClusterMembers& clusters,
                                     bool fast, Pool* pool, Monitor* monitor = nullptr,
                                     const std::vector<std::uint8_t>* settled = nullptr);

}  // namespace kelvara
