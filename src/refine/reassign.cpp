#include "refine/reassign.hpp"

#include <algorithm>
#include <numeric>

namespace kelvara {

std::vector<CountSum> cluster_sizes(const AnchorTable& table, const std::vector<std::size_t>& assignment) {
    std::vector<CountSum> sizes(assignment.size(), 0);
    for (std::size_t i = 0; i < assignment.size(); ++i) sizes[assignment[i]] += table.counts[i];
    return sizes;
}

std::vector<std::size_t> centroids_by_size(const AnchorTable& table, const std::vector<std::size_t>& assignment,
                                           const std::vector<CountSum>& sizes) {
    // Sizes can be 0, so being a centroid needs its own mark.
    std::vector<std::uint8_t> is_centroid(assignment.size(), 0);
    for (std::size_t c : assignment) is_centroid[c] = 1;
    std::vector<std::size_t> out;
    for (std::size_t c = 0; c < assignment.size(); ++c)
        if (is_centroid[c]) out.push_back(c);
    std::sort(out.begin(), out.end(), [&](std::size_t a, std::size_t b) {
        if (sizes[a] != sizes[b]) return sizes[a] > sizes[b];
        return table.anchors[a] < table.anchors[b];
    });
    return out;
}

CentroidBlocks centroid_blocks(const SimTables& tables, const AnchorTable& table,
                               const std::vector<std::size_t>& centroids) {
    // Group in first-seen order, then renumber the groups by ascending key.
    std::unordered_map<std::uint64_t, std::size_t> seen;
    std::vector<std::uint64_t> keys;
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t c : centroids) {
        const std::uint64_t key = block_key(tables, table.row(c));
        const auto [it, inserted] = seen.try_emplace(key, keys.size());
        if (inserted) {
            keys.push_back(key);
            groups.emplace_back();
        }
        groups[it->second].push_back(c);
    }

    std::vector<std::size_t> by_key(keys.size());
    std::iota(by_key.begin(), by_key.end(), std::size_t{0});
    std::sort(by_key.begin(), by_key.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });

    CentroidBlocks out;
    out.keys.reserve(keys.size());
    out.centroids.reserve(keys.size());
    out.index.reserve(keys.size());
    for (std::size_t g : by_key) {
        out.index.emplace(keys[g], out.keys.size());
        out.keys.push_back(keys[g]);
        out.centroids.push_back(std::move(groups[g]));
    }

    out.ordered.assign(out.keys.size(), OrderedAnchors(tables));
    for (std::size_t b = 0; b < out.keys.size(); ++b)
        for (std::size_t c : out.centroids[b]) out.ordered[b].add(tables, table.row(c));

    out.n_positions = tables.positions.size();
    return out;
}

std::size_t reassign_one(const SimTables& tables, const std::uint8_t* residues, std::size_t i,
                         const std::vector<std::size_t>& assignment, const CentroidBlocks& blocks, std::int64_t cap,
                         double threshold) {
    const std::size_t len = tables.anchor_len;
    const std::uint8_t* a = residues + i * len;
    const std::size_t cur = assignment[i];

    const std::size_t own = blocks.find(block_key(tables, a));
    if (own == blocks.keys.size()) return cur;

    std::size_t best = cur;
    double best_s = full_sim(tables, a, residues + cur * len);
    const std::uint64_t limit = cap > 0 ? static_cast<std::uint64_t>(cap) : 0;
    std::uint64_t compared = 0;
    // Early exits count as comparisons; meeting the current centroid does not.
    blocks.visit_neighbours(own, [&](std::size_t b) {
        const std::vector<std::size_t>& ids = blocks.centroids[b];
        for (std::size_t j = 0; j < ids.size(); ++j) {
            const std::size_t c = ids[j];
            if (c == cur) continue;
            if (limit > 0 && compared >= limit) return false;
            const double s = anchor_sim(tables, a, residues + c * len, threshold);
            ++compared;
            if (s >= 0.0 && s > best_s) {
                best = c;
                best_s = s;
            }
        }
        return true;
    });
    return best != cur && best_s >= threshold ? best : cur;
}

std::uint64_t reassign_step(const SimTables& tables, const AnchorTable& table, std::vector<std::size_t>& assignment,
                            const CentroidBlocks& blocks, std::int64_t cap, double threshold, Pool* pool,
                            Monitor* monitor) {
    const std::uint8_t* residues = table.residues.data();
    const std::vector<std::size_t> proposed = parallel_map(
        pool, assignment.size(),
        [&](std::size_t i) { return reassign_one(tables, residues, i, assignment, blocks, cap, threshold); }, monitor);
    std::uint64_t moved = 0;
    for (std::size_t i = 0; i < proposed.size(); ++i) {
        if (proposed[i] != assignment[i]) {
            assignment[i] = proposed[i];
            ++moved;
        }
    }
    return moved;
}

}  // namespace kelvara
