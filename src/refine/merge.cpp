#include "refine/merge.hpp"

#include <algorithm>

#include "refine/reassign.hpp"

namespace kelvara {

std::uint64_t merge_step(const AnchorTable& table, const SimTables& tables, std::vector<std::size_t>& assignment,
                         double threshold, std::int64_t merge_cap) {
    const std::size_t n = assignment.size();
    const std::size_t len = tables.anchor_len;
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
    std::uint64_t count = 0;
    // The absorber's row of each position table, in summing order; the sum and the exit are anchor_sim's.
    std::vector<const double*> rows(len);
    const double* bound = tables.suffix_bound.data();
    const auto similarity = [&](const std::uint8_t* d_ordered) {
        double s = 0.0;
        for (std::size_t k = 0; k < len; ++k) {
            s = s + rows[k][d_ordered[k]];
            if (k + 1 < len && threshold > bound[k + 1] + s) return -1.0;
        }
        return s;
    };
    for (std::size_t c : merge_order) {
        if (absorbed[c]) continue;
        const std::uint8_t* row_c = table.row(c);
        for (std::size_t k = 0; k < len; ++k) rows[k] = tables.table(tables.order[k]) + row_c[tables.order[k]] * 128;
        const CountSum size_c = sizes[c];
        std::uint64_t examined = 0;
        // Absorbed and not-smaller candidates use up the cap as well.
        const auto search = [&] {
            for (std::size_t b : blocks.neighbours[blocks.find(block_key(tables, row_c))]) {
                const std::vector<std::size_t>& ids = blocks.centroids[b];
                const std::vector<CountSum>& bs = block_sizes[b];
                const std::uint8_t* bytes = blocks.ordered[b].data();
                // Without a cap nothing counts, so the leading candidates that are not smaller can be jumped.
                std::size_t j = 0;
                if (limit == 0)
                    j = static_cast<std::size_t>(
                        std::partition_point(bs.begin(), bs.end(), [&](CountSum s) { return s >= size_c; }) -
                        bs.begin());
                for (; j < ids.size(); ++j) {
                    const std::size_t d = ids[j];
                    if (d == c) continue;
                    if (limit > 0 && examined >= limit) return;
                    ++examined;
                    if (absorbed[d] || !(size_c > bs[j])) continue;
                    if (similarity(bytes + j * len) >= threshold) {
                        absorbed_into[d] = c;
                        absorbed[d] = 1;
                        ++count;
                    }
                }
            }
        };
        search();
    }

    if (count > 0)
        for (std::size_t& c : assignment)
            while (absorbed[c]) c = absorbed_into[c];
    return count;
}

}  // namespace kelvara
