#include "refine/merge.hpp"

#include <algorithm>

#include "refine/reassign.hpp"

namespace kelvara {

std::uint64_t merge_step(const AnchorTable& table, const SimTables& tables, const std::uint8_t* codes,
                         std::vector<std::size_t>& assignment, double threshold, std::int64_t merge_cap,
                         Monitor* monitor) {
    const std::size_t n = assignment.size();
    const std::size_t len = tables.anchor_len;
    const std::vector<CountSum> sizes = cluster_sizes(table, assignment);
    const std::vector<std::size_t> merge_order = centroids_by_size(table, assignment, sizes);
    const CentroidBlocks blocks = centroid_blocks(tables, table, codes, merge_order);

    // An early exit reports -1.0, which passes a threshold of -1.0 or below: then every candidate needs
    // its literal similarity, since the search leaves exits out.
    const bool exits_pass = -1.0 >= threshold;
    const std::uint64_t limit = merge_cap > 0 ? static_cast<std::uint64_t>(merge_cap) : UINT64_MAX;
    std::vector<std::uint8_t> absorbed(n, 0);
    std::vector<std::size_t> absorbed_into(n, 0);
    std::vector<std::size_t> similar;
    std::uint64_t count_absorbed = 0;
    search::Probe probe(tables, threshold);
    Ticker tick(monitor, 16);
    for (std::size_t c : merge_order) {
        tick();
        if (absorbed[c]) continue;
        probe.load(codes + c * len);
        // Sizes stay as computed above: absorbing a cluster does not grow the absorber. Every block lists
        // its centroids largest first, so the strictly smaller ones are a tail of it.
        const CountSum size_c = sizes[c];
        const std::size_t own = blocks.find(block_key(tables, table.row(c)));
        similar.clear();
        // Absorbed and not-smaller candidates use up the cap as well; the centroid itself does not.
        std::uint64_t budget = limit;
        blocks.visit_neighbours(own, [&](std::size_t b) {
            const std::vector<std::size_t>& ids = blocks.centroids[b];
            const std::uint32_t skip = b == own ? blocks.rank[c] : search::kNoRank;
            const std::uint32_t end = blocks.window(b, budget, skip);
            const auto smaller = std::partition_point(ids.begin(), ids.begin() + end,
                                                      [&](std::size_t d) { return sizes[d] >= size_c; });
            const auto lo = static_cast<std::uint32_t>(smaller - ids.begin());
            if (exits_pass) {
                for (std::uint32_t r = lo; r < end; ++r)
                    if (probe.sim(codes + ids[r] * len) >= threshold) similar.push_back(ids[r]);
            } else {
                blocks.sets[b].live_in(probe, lo, end, [&](std::uint32_t rank, double s) {
                    if (s >= threshold) similar.push_back(ids[rank]);
                });
            }
            if (budget != UINT64_MAX) budget -= end - (skip < end ? 1 : 0);
            return budget > 0;
        });
        // Each candidate appears once, so the order in which they are absorbed does not matter.
        for (std::size_t d : similar) {
            if (absorbed[d]) continue;
            absorbed_into[d] = c;
            absorbed[d] = 1;
            ++count_absorbed;
        }
    }

    if (count_absorbed > 0)
        for (std::size_t& c : assignment)
            while (absorbed[c]) c = absorbed_into[c];
    return count_absorbed;
}

}  // namespace kelvara
