#include "refine/reassign.hpp"

#include <algorithm>
#include <utility>

#include "anchors/radix_sort.hpp"

namespace kelvara {

RefineData::RefineData(const AnchorTable& table_, const SimTables& tables_)
    : table(table_),
      tables(tables_),
      codes(search::summing_codes(tables_, table_.residues.data(), table_.size())),
      by_text(table_.size()),
      key_id(table_.size()) {
    // Anchor texts never change, so one sort orders them for every pass. Their first eight bytes, read as a
    // big-endian number, order most pairs (all anchors have one length): a radix sort on those, then the
    // rest of the text within each run of equal prefixes.
    const std::size_t n = table.size();
    std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t prefix = 0;
        const std::string& text = table.anchors[i];
        for (std::size_t k = 0; k < 8; ++k)
            prefix = prefix << 8 | (k < text.size() ? static_cast<unsigned char>(text[k]) : 0u);
        keyed[i] = {prefix, i};
    }
    radix_sort(keyed, 64);
    for (std::size_t r = 0; r < n;) {
        std::size_t end = r + 1;
        while (end < n && keyed[end].first == keyed[r].first) ++end;
        if (end - r > 1)
            std::stable_sort(
                keyed.begin() + static_cast<std::ptrdiff_t>(r), keyed.begin() + static_cast<std::ptrdiff_t>(end),
                [&](const auto& a, const auto& b) { return table.anchors[a.second] < table.anchors[b.second]; });
        r = end;
    }
    for (std::size_t r = 0; r < n; ++r) by_text[r] = keyed[r].second;

    std::vector<std::size_t> seen;
    for (std::size_t at : tables.table_at) {
        if (std::find(seen.begin(), seen.end(), at) != seen.end()) continue;
        seen.push_back(at);
        for (std::size_t x = 0; x < kCodes; ++x)
            for (std::size_t y = 0; y < kCodes; ++y)
                self_best = self_best &&
                            tables.code_tables[at + x * kRowStride + x] >= tables.code_tables[at + x * kRowStride + y];
    }

    // Block keys numbered in ascending order: sorted with their anchors, so each anchor gets its number as
    // the sorted list is walked.
    for (std::size_t i = 0; i < n; ++i) keyed[i] = {block_key(tables, table.row(i)), i};
    radix_sort(keyed, 8 * static_cast<unsigned>(tables.positions.size()));
    for (std::size_t r = 0; r < n; ++r) {
        if (r == 0 || keyed[r].first != keyed[r - 1].first) keys.push_back(keyed[r].first);
        key_id[keyed[r].second] = static_cast<std::uint32_t>(keys.size() - 1);
    }
}

void cluster_sizes(const AnchorTable& table, const std::vector<std::size_t>& assignment,
                   std::vector<CountSum>& sizes) {
    sizes.assign(assignment.size(), 0);
    for (std::size_t i = 0; i < assignment.size(); ++i) sizes[assignment[i]] += table.counts[i];
}

void centroids_by_size(const RefineData& data, const std::vector<std::size_t>& assignment,
                       const std::vector<CountSum>& sizes, std::vector<std::size_t>& out) {
    // Sizes can be 0, so being a centroid needs its own mark.
    std::vector<std::uint8_t> is_centroid(assignment.size(), 0);
    for (std::size_t c : assignment) is_centroid[c] = 1;
    // Taken in text order, then ordered stably by size: most clusters are small, and small sizes are
    // counted into their places rather than sorted.
    constexpr std::size_t kCounted = 256;
    std::vector<std::size_t> large;
    std::vector<std::size_t> start(kCounted + 1, 0);
    for (std::size_t c : data.by_text) {
        if (!is_centroid[c]) continue;
        if (sizes[c] < kCounted) {
            ++start[kCounted - 1 - static_cast<std::size_t>(sizes[c]) + 1];
        } else {
            large.push_back(c);
        }
    }
    std::stable_sort(large.begin(), large.end(), [&](std::size_t a, std::size_t b) { return sizes[a] > sizes[b]; });
    for (std::size_t k = 1; k <= kCounted; ++k) start[k] += start[k - 1];
    out.resize(large.size() + start[kCounted]);
    std::copy(large.begin(), large.end(), out.begin());
    for (std::size_t c : data.by_text)
        if (is_centroid[c] && sizes[c] < kCounted)
            out[large.size() + start[kCounted - 1 - static_cast<std::size_t>(sizes[c])]++] = c;
}

void ordered_clusters(const RefineData& data, const std::vector<std::size_t>& assignment, OrderedClusters& out) {
    cluster_sizes(data.table, assignment, out.sizes);
    centroids_by_size(data, assignment, out.sizes, out.centroids);
}

CentroidBlocks centroid_blocks(const RefineData& data, const std::vector<std::size_t>& centroids, std::size_t searched,
                               Pool* pool) {
    // Group by key number, each group in the order given; the numbers ascend with the keys.
    std::vector<std::uint32_t> group_of(data.keys.size(), CentroidBlocks::kNone);
    std::vector<std::uint32_t> key_ids, members(data.keys.size(), 0);
    for (std::size_t c : centroids) {
        std::uint32_t& g = group_of[data.key_id[c]];
        if (g == CentroidBlocks::kNone) {
            g = 0;
            key_ids.push_back(data.key_id[c]);
        }
        ++members[data.key_id[c]];
    }
    std::sort(key_ids.begin(), key_ids.end());

    CentroidBlocks out(data);
    out.keys.reserve(key_ids.size());
    out.centroids.resize(key_ids.size());
    out.sets.reserve(key_ids.size());
    out.rank.assign(data.size(), search::kNoRank);
    for (std::size_t b = 0; b < key_ids.size(); ++b) {
        group_of[key_ids[b]] = static_cast<std::uint32_t>(b);
        out.keys.push_back(data.keys[key_ids[b]]);
        out.sets.emplace_back(data.tables.anchor_len);
        out.neighbours.add(out.keys.back(), static_cast<std::uint32_t>(b));
    }
    for (std::size_t b = 0; b < key_ids.size(); ++b) out.centroids[b].reserve(members[key_ids[b]]);
    for (std::size_t c : centroids) {
        const std::uint32_t b = group_of[data.key_id[c]];
        out.rank[c] = static_cast<std::uint32_t>(out.centroids[b].size());
        out.centroids[b].push_back(c);
    }
    // Each set is filled at once, the blocks side by side.
    std::vector<std::uint32_t> with_sets;
    for (std::size_t b = 0; b < key_ids.size(); ++b)
        if (out.centroids[b].size() >= CentroidBlocks::kDirect) with_sets.push_back(static_cast<std::uint32_t>(b));
    auto fill = [&](std::size_t k) {
        const std::vector<std::size_t>& ids = out.centroids[with_sets[k]];
        out.sets[with_sets[k]].assign(data.codes.data(), ids.data(), std::min(ids.size(), searched));
    };
    if (pool == nullptr) {
        for (std::size_t k = 0; k < with_sets.size(); ++k) fill(k);
    } else {
        pool->run(with_sets.size(), [&](std::size_t k, std::size_t) { fill(k); });
    }
    out.block_of = std::move(group_of);
    return out;
}

std::size_t reassign_one(const RefineData& data, search::Probe& probe, std::size_t i,
                         const std::vector<std::size_t>& assignment, const CentroidBlocks& blocks, std::int64_t cap) {
    const std::size_t cur = assignment[i];
    const std::uint64_t key = data.key_of(i);
    const std::size_t own = blocks.find(i);
    if (own == blocks.keys.size()) return cur;

    probe.load(data.codes_of(i));
    const double threshold = probe.min_needed();
    // The most similar candidate that beats the current centroid and reaches the threshold; the first one
    // in walk order among equals. Candidates below the threshold could only win where the result is
    // `cur` anyway, and early exits never win.
    std::size_t best = cur;
    double best_s = probe.full_sum(data.codes_of(cur));
    std::uint32_t best_rank = search::kNoRank;
    // Early exits count against the cap; meeting the current centroid does not.
    std::uint64_t budget = cap > 0 ? static_cast<std::uint64_t>(cap) : UINT64_MAX;
    const std::size_t cur_block = blocks.find(cur);
    blocks.visit_neighbours(own, cap > 0, threshold, [&](std::size_t b) {
        const std::uint32_t skip = b == cur_block ? blocks.rank[cur] : search::kNoRank;
        const std::uint32_t end = blocks.window(b, budget, skip);
        if (!out_of_reach(data.tables, key, blocks.keys[b], threshold)) {
            const std::vector<std::size_t>& ids = blocks.centroids[b];
            std::size_t block_best = SIZE_MAX;
            blocks.live_in(b, probe, 0, end, [&](std::uint32_t rank, double s) {
                if (rank == skip || !(s >= 0.0 && s >= threshold)) return;
                if (s > best_s || (s == best_s && block_best != SIZE_MAX && rank < best_rank)) {
                    best_s = s;
                    best_rank = rank;
                    block_best = rank;
                }
            });
            if (block_best != SIZE_MAX) best = ids[block_best];
        }
        if (budget != UINT64_MAX) budget -= end - (skip < end ? 1 : 0);
        return budget > 0;
    });
    return best;
}

std::uint64_t reassign_step(const RefineData& data, std::vector<std::size_t>& assignment, const CentroidBlocks& blocks,
                            std::int64_t cap, double threshold, Pool* pool, Monitor* monitor) {
    // An anchor that is its own centroid sums the largest entry of every row at every step, and sums grow
    // with their terms: no candidate can beat it strictly, so its walk would end where it began. Most
    // anchors are centroids; only the others go to the pool.
    std::vector<std::size_t> walkers;
    for (std::size_t i = 0; i < assignment.size(); ++i)
        if (!(assignment[i] == i && data.self_best)) walkers.push_back(i);
    if (monitor != nullptr) monitor->add_quietly(assignment.size() - walkers.size());
    const std::vector<std::size_t> proposed = parallel_map_local(
        pool, walkers.size(), [&] { return search::Probe(data.tables, threshold); },
        [&](search::Probe& probe, std::size_t k) {
            return reassign_one(data, probe, walkers[k], assignment, blocks, cap);
        },
        monitor);
    std::uint64_t moved = 0;
    for (std::size_t k = 0; k < walkers.size(); ++k) {
        if (proposed[k] != assignment[walkers[k]]) {
            assignment[walkers[k]] = proposed[k];
            ++moved;
        }
    }
    return moved;
}

}  // namespace kelvara
