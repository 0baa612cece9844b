#include "refine/merge.hpp"

#include <algorithm>

#include "refine/reassign.hpp"

namespace kelvara {

std::uint64_t merge_step(const AnchorTable& table, const SimTables& tables, std::vector<std::size_t>& assignment,
                         double threshold, std::int64_t merge_cap, Monitor* monitor) {
    const std::size_t n = assignment.size();
    const std::vector<CountSum> sizes = cluster_sizes(table, assignment);
    const std::vector<std::size_t> merge_order = centroids_by_size(table, assignment, sizes);
    const CentroidBlocks blocks = centroid_blocks(tables, table, merge_order);

    // Sizes stay as computed above: absorbing a cluster does not grow the absorber. Each block's sizes are
    // kept side by side and, like the block lists, in descending order.
    std::vector<std::vector<CountSum>> block_sizes(blocks.keys.size());
    for (std::size_t b = 0; b < blocks.keys.size(); ++b)
        for (std::size_t d : blocks.centroids[b]) block_sizes[b].push_back(sizes[d]);

    const std::uint64_t limit = merge_cap > 0 ? static_cast<std::uint64_t>(merge_cap) : 0;
    std::vector<std::uint8_t> absorbed(n, 0);
    std::vector<std::size_t> absorbed_into(n, 0);
    std::uint64_t count_absorbed = 0;
    Probe probe(tables, threshold);
    Ticker tick(monitor, 16);
    for (std::size_t c : merge_order) {
        tick();
        if (absorbed[c]) continue;
        const std::uint8_t* row_c = table.row(c);
        probe.load(row_c);
        const CountSum size_c = sizes[c];
        std::uint64_t examined = 0;
        // Absorbed and not-smaller candidates use up the cap as well.
        blocks.visit_neighbours(blocks.find(block_key(tables, row_c)), [&](std::size_t b) {
            const std::vector<std::size_t>& ids = blocks.centroids[b];
            const std::vector<CountSum>& bs = block_sizes[b];
            const OrderedAnchors& ordered = blocks.ordered[b];
            // Without a cap nothing counts, so the leading candidates that are not smaller can be jumped.
            std::size_t j = 0;
            if (limit == 0)
                j = static_cast<std::size_t>(
                    std::partition_point(bs.begin(), bs.end(), [&](CountSum s) { return s >= size_c; }) - bs.begin());
            probe.expect(limit > 0 ? std::min<std::uint64_t>(limit, ids.size() - j) : ids.size() - j);
            double r[Probe::kBatch];
            for (; j < ids.size(); j += Probe::kBatch) {
                // Similarities are pure, so computing a few ahead of the tests below changes nothing.
                const std::size_t count = std::min(Probe::kBatch, ids.size() - j);
                probe.sim_batch(ordered, j, count, r);
                for (std::size_t lane = 0; lane < count; ++lane) {
                    const std::size_t d = ids[j + lane];
                    if (d == c) continue;
                    if (limit > 0 && examined >= limit) return false;
                    ++examined;
                    if (absorbed[d] || !(size_c > bs[j + lane])) continue;
                    if (r[lane] >= threshold) {
                        absorbed_into[d] = c;
                        absorbed[d] = 1;
                        ++count_absorbed;
                    }
                }
            }
            return true;
        });
    }

    if (count_absorbed > 0)
        for (std::size_t& c : assignment)
            while (absorbed[c]) c = absorbed_into[c];
    return count_absorbed;
}

}  // namespace kelvara
