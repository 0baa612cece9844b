#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anchors/anchor_table.hpp"
#include "anchors/block_index.hpp"
#include "anchors/sim_tables.hpp"
#include "parallel/monitor.hpp"
#include "parallel/pool.hpp"
#include "search/centroid_set.hpp"

namespace kelvara {

// What every step of a refinement reads and nothing changes: the anchors, the tables, every anchor's
// residue codes in summing order, the anchors in text order and the number of each one's block key.
struct RefineData {
    RefineData(const AnchorTable& table, const SimTables& tables);

    const AnchorTable& table;
    const SimTables& tables;
    std::vector<std::uint8_t> codes;
    std::vector<std::size_t> by_text;   // every anchor index in ascending text order
    std::vector<std::uint64_t> keys;    // the anchors' distinct block keys, ascending
    std::vector<std::uint32_t> key_id;  // per anchor, the number of its key in `keys`
    // Every table row is largest at its own code: no anchor is more similar to another than to itself.
    bool self_best = true;

    std::size_t size() const { return table.size(); }
    const std::uint8_t* codes_of(std::size_t i) const { return codes.data() + i * tables.anchor_len; }
    std::uint64_t key_of(std::size_t i) const { return keys[key_id[i]]; }
};

// The centroids of one pass grouped by the block key of their own anchor. Blocks are numbered in
// ascending key order.
struct CentroidBlocks {
    explicit CentroidBlocks(const RefineData& d) : data(d), neighbours(d.tables) {}

    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    const RefineData& data;
    std::vector<std::uint64_t> keys;                  // ascending
    std::vector<std::vector<std::size_t>> centroids;  // per block, in the order handed to the builder
    std::vector<search::CentroidSet> sets;            // per block of kDirect or more, its first centroids
    std::vector<std::uint32_t> rank;                  // per anchor index: its rank in its block, if a centroid
    std::vector<std::uint32_t> block_of;              // per key number of the data, its block or kNone
    BlockIndex neighbours;                            // the keys, for walks over the blocks that agree with one

    // The end of the ranks of block b that `budget` candidates other than `skip` (a rank, or kNoRank) cover.
    std::uint32_t window(std::size_t b, std::uint64_t budget, std::uint32_t skip) const {
        const std::uint64_t n = centroids[b].size();
        if (budget >= n) return static_cast<std::uint32_t>(n);
        const std::uint64_t end = budget + (skip < budget ? 1 : 0);
        return static_cast<std::uint32_t>(end < n ? end : n);
    }

    // Blocks this small are compared centroid by centroid, without a set: with many anchor positions nearly
    // every block holds one centroid, and sets for all of them would cost more than the comparisons.
    static constexpr std::size_t kDirect = 4;

    // Calls visit(rank, sum) for every centroid of block b ranked in [lo, hi) whose exit test never fires,
    // with its full similarity, in no particular order.
    template <class Visit>
    void live_in(std::size_t b, const search::Probe& probe, std::uint32_t lo, std::uint32_t hi, Visit&& visit) const {
        const std::vector<std::size_t>& ids = centroids[b];
        if (ids.size() >= kDirect) {
            sets[b].live_in(probe, lo, hi, visit);
            return;
        }
        for (std::uint32_t r = lo; r < hi && r < ids.size(); ++r) {
            double s;
            if (probe.live_sum(data.codes_of(ids[r]), 1, &s)) visit(r, s);
        }
    }

    // Block of the key of anchor i, or keys.size() when no centroid has that key.
    std::size_t find(std::size_t i) const {
        const std::uint32_t b = block_of[data.key_id[i]];
        return b == kNone ? keys.size() : b;
    }

    // The neighbour walk of block `own`: itself, then every other block whose key agrees with its key,
    // ascending; stops when visit(b) returns false. A walk that is not `capped` counts nothing in the
    // blocks it passes, so it leaves out those whose similarity bound against `own` stays below
    // `threshold`, where nothing can be found; a capped one passes them all.
    template <class F>
    void visit_neighbours(std::size_t own, bool capped, double threshold, F&& visit) const {
        if (!visit(own)) return;
        auto step = [&](std::uint32_t b, std::uint64_t, double) { return visit(b); };
        if (capped) {
            neighbours.walk(
                keys[own], true, [](double) { return false; }, [](double) { return true; }, step);
        } else {
            const double slack = data.tables.bound_slack;
            neighbours.walk(
                keys[own], true, [&](double bound) { return bound + slack < threshold; },
                [&](double bound) { return !(bound + slack < threshold); }, step);
        }
    }
};

// The outputs below are filled in place: refilled every pass, they keep the pages they already have, and
// at millions of anchors fresh pages cost more than the counting.

// Sum of counts per centroid, indexed by anchor index (0 for anchors that are nobody's centroid).
void cluster_sizes(const AnchorTable& table, const std::vector<std::size_t>& assignment, std::vector<CountSum>& sizes);

// The distinct centroids of `assignment`, largest cluster first, equal sizes by anchor text.
void centroids_by_size(const RefineData& data, const std::vector<std::size_t>& assignment,
                       const std::vector<CountSum>& sizes, std::vector<std::size_t>& out);

// The cluster sizes of an assignment and its centroids in that order, made together.
struct OrderedClusters {
    std::vector<CountSum> sizes;
    std::vector<std::size_t> centroids;
};
void ordered_clusters(const RefineData& data, const std::vector<std::size_t>& assignment, OrderedClusters& out);

// Blocks of `centroids`; each block keeps the relative order of the list it is built from. Only the first
// `searched` centroids of a block go into its set: a capped step never looks past them. The sets are
// built on `pool` when there is one.
CentroidBlocks centroid_blocks(const RefineData& data, const std::vector<std::size_t>& centroids,
                               std::size_t searched = SIZE_MAX, Pool* pool = nullptr);

// Proposed centroid of anchor i: the most similar centroid of its own and neighbouring blocks that beats
// the current one strictly and reaches `threshold`, looking at no more than `cap` others when cap > 0.
std::size_t reassign_one(const RefineData& data, search::Probe& probe, std::size_t i,
                         const std::vector<std::size_t>& assignment, const CentroidBlocks& blocks, std::int64_t cap);

// Proposes for every anchor against the same `assignment`, then applies the proposals in index order.
// Returns the number of anchors that moved.
std::uint64_t reassign_step(const RefineData& data, std::vector<std::size_t>& assignment, const CentroidBlocks& blocks,
                            std::int64_t cap, double threshold, Pool* pool, Monitor* monitor = nullptr);

}  // namespace kelvara
