#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "parallel/monitor.hpp"
#include "parallel/pool.hpp"
#include "refine/reassign.hpp"

namespace kelvara {

// What a merge step leaves for the next one: the centroids it left standing, with the cluster sizes they
// had when it began. Two of them, both still standing with those sizes, were judged against each other
// then and were not similar enough, or the smaller would have been absorbed: an uncapped merge need not
// judge them again.
struct MergeMemory {
    std::vector<CountSum> size;  // per anchor index, where `standing`
    std::vector<std::uint8_t> standing;
    // Only the step's own working space, kept to reuse its pages.
    std::vector<std::uint8_t> absorbed;
    std::vector<std::size_t> absorbed_into;

    bool unchanged(std::size_t c, const std::vector<CountSum>& sizes) const {
        return !standing.empty() && standing[c] && size[c] == sizes[c];
    }
};

// Lets each centroid, largest cluster first, absorb strictly smaller clusters of its own and neighbouring
// blocks whose centroid is at least `threshold` similar, examining at most `merge_cap` candidates when
// merge_cap > 0, then relabels `assignment`. Which candidates a centroid examines does not depend on what
// was absorbed before, so their similarities may be judged on the pool; they are applied in merge order.
// Returns the number of clusters absorbed.
// `memory`, when given, carries what the previous step left and is updated for the next.
// `ordered`, when given, is ordered_clusters(data, assignment), made already.
std::uint64_t merge_step(const RefineData& data, std::vector<std::size_t>& assignment, double threshold,
                         std::int64_t merge_cap, Pool* pool, Monitor* monitor = nullptr, MergeMemory* memory = nullptr,
                         const OrderedClusters* ordered = nullptr);

}  // namespace kelvara
