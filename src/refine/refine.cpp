#include "refine/refine.hpp"

#include <algorithm>

#include "refine/medoid.hpp"
#include "refine/merge.hpp"
#include "refine/reassign.hpp"

namespace kelvara {

namespace {

std::uint64_t count_distinct(const std::vector<std::size_t>& assignment) {
    std::vector<std::uint8_t> seen(assignment.size(), 0);
    std::uint64_t n = 0;
    for (std::size_t c : assignment) {
        n += seen[c] == 0;
        seen[c] = 1;
    }
    return n;
}

// Medoid step, applied: returns the number of clusters whose centroid was replaced. Clusters marked in
// `settled` (by centroid) are skipped; afterwards it marks every centroid that is the medoid of exactly
// the members it was chosen from, whose medoid is therefore itself until they change.
std::uint64_t update_medoids(const AnchorTable& table, const SimTables& tables, std::vector<std::size_t>& assignment,
                             const std::vector<std::size_t>& by_text, bool fast, Pool* pool, Monitor* monitor,
                             std::uint64_t pass, std::vector<std::uint8_t>& settled, ClusterMembers& clusters,
                             std::vector<std::size_t>& scratch) {
    cluster_members(assignment, by_text, clusters, scratch);
    if (monitor != nullptr) monitor->stage("medoid", pass, clusters.size());
    const std::vector<std::size_t> medoids = medoid_step(tables, table, clusters, fast, pool, monitor, &settled);
    if (monitor != nullptr) monitor->finish();

    // Every anchor is a member of exactly one cluster.
    std::uint64_t changes = 0;
    for (std::size_t k = 0; k < clusters.size(); ++k) {
        if (medoids[k] == clusters.centroids[k]) continue;
        ++changes;
        for (std::size_t i : clusters.of(k)) assignment[i] = medoids[k];
    }

    // A medoid can be kept as a cluster's centroid without being one of its members; a cluster that
    // holds it may choose it too, and then the two clusters become one.
    std::fill(settled.begin(), settled.end(), 0);
    for (std::size_t m : medoids) settled[m] = static_cast<std::uint8_t>(std::min(settled[m] + 1, 2));
    for (std::size_t m : medoids) settled[m] = settled[m] == 1 ? 1 : 0;
    return changes;
}

}  // namespace

RefineStats refine_passes(const AnchorTable& table, const SimTables& tables, std::vector<std::size_t>& assignment,
                          const RefineOptions& options, Pool* pool) {
    if (assignment.empty()) return RefineStats{};
    const RefineData data(table, tables);
    return refine_passes(data, assignment, options, pool);
}

RefineStats refine_passes(const RefineData& data, std::vector<std::size_t>& assignment, const RefineOptions& options,
                          Pool* pool) {
    RefineStats stats;
    const std::size_t n = assignment.size();
    if (n == 0) return stats;
    const AnchorTable& table = data.table;
    const SimTables& tables = data.tables;
    stats.initial_clusters = count_distinct(assignment);

    Monitor* monitor = options.monitor;
    MergeMemory memory;
    std::vector<std::uint8_t> settled(n, 0);
    std::vector<std::size_t> chosen;  // the assignment as the medoid step left it
    // Refilled every pass: their pages are reused rather than freshly faulted in.
    ClusterMembers clusters;
    OrderedClusters ordered;
    while (stats.passes < options.iterations) {
        const std::uint64_t pass = stats.passes++;
        // `chosen` is refilled right after: until then it is the medoid step's working space.
        const std::uint64_t medoid_changes = update_medoids(table, tables, assignment, data.by_text,
                                                           options.fast_medoid, pool, monitor, pass, settled, clusters,
                                                           chosen);
        stats.medoid_changes += medoid_changes;
        chosen = assignment;

        ordered_clusters(data, assignment, ordered);
        std::uint64_t moved = 0;
        {  // the blocks go before the merge builds its own index
            const CentroidBlocks blocks = centroid_blocks(
                data, ordered.centroids, options.cap > 0 ? static_cast<std::size_t>(options.cap) + 1 : SIZE_MAX, pool);
            if (monitor != nullptr) monitor->stage("reassign", pass, n);
            moved = reassign_step(data, assignment, blocks, options.cap, options.threshold, pool, monitor);
            if (monitor != nullptr) monitor->finish();
        }
        stats.reassignments += moved;

        std::uint64_t merged = 0;
        if (options.merge) {
            if (monitor != nullptr) monitor->stage("merge", pass, count_distinct(assignment));
            // With nobody moved, the clusters are still the ones just ordered.
            if (moved > 0) ordered_clusters(data, assignment, ordered);
            merged = merge_step(data, assignment, options.threshold, options.merge_cap, pool, monitor, &memory,
                                &ordered);
            if (monitor != nullptr) monitor->finish();
        }
        stats.merges += merged;

        if (medoid_changes == 0 && moved == 0 && merged == 0) break;
        // Clusters that gained or lost members need their medoid again.
        if (moved > 0 || merged > 0)
            for (std::size_t i = 0; i < n; ++i)
                if (assignment[i] != chosen[i]) settled[assignment[i]] = settled[chosen[i]] = 0;
    }

    stats.final_clusters = count_distinct(assignment);
    if (monitor != nullptr) monitor->stage("done", stats.passes, 0);
    return stats;
}

}  // namespace kelvara
