#include "refine/merge.hpp"

#include <algorithm>

namespace kelvara {

namespace {

// The candidates of one centroid, in merge order, whose similarity to it reaches the threshold.
struct Verdicts {
    Verdicts(const RefineData& data_, const CentroidBlocks& blocks_, const std::vector<CountSum>& sizes_,
             double threshold_, std::int64_t merge_cap, const MergeMemory* memory_)
        : data(data_),
          blocks(blocks_),
          sizes(sizes_),
          threshold(threshold_),
          limit(merge_cap > 0 ? static_cast<std::uint64_t>(merge_cap) : UINT64_MAX),
          memory(limit == UINT64_MAX ? memory_ : nullptr),
          block_sizes(blocks.keys.size()),
          changed(blocks.keys.size()) {
        // Each block's sizes side by side, in its (descending) order, for the searches below.
        for (std::size_t b = 0; b < blocks.keys.size(); ++b) {
            for (std::size_t d : blocks.centroids[b]) block_sizes[b].push_back(sizes[d]);
            smallest = std::min(smallest, block_sizes[b].back());
            if (memory == nullptr) continue;
            for (std::size_t r = 0; r < blocks.centroids[b].size(); ++r)
                if (!memory->unchanged(blocks.centroids[b][r], sizes))
                    changed[b].push_back(static_cast<std::uint32_t>(r));
        }
    }

    const RefineData& data;
    const CentroidBlocks& blocks;
    const std::vector<CountSum>& sizes;
    double threshold;
    std::uint64_t limit;        // candidates examined per centroid; UINT64_MAX for no cap
    const MergeMemory* memory;  // only without a cap, where every smaller candidate is examined
    std::vector<std::vector<CountSum>> block_sizes;
    std::vector<std::vector<std::uint32_t>> changed;  // per block, the ranks of centroids not left as they were
    CountSum smallest = ~CountSum{0};

    std::vector<std::size_t> similar(search::Probe& probe, std::size_t c) const {
        std::vector<std::size_t> out;
        // Most clusters are as small as any: they can absorb nothing, whatever they examine.
        if (sizes[c] <= smallest) return out;
        const std::uint64_t key = data.key_of(c);
        const std::size_t own = blocks.find(key);
        // An early exit reports -1.0, which passes a threshold of -1.0 or below: then every candidate needs
        // its literal similarity, since the search leaves exits out.
        const bool exits_pass = -1.0 >= threshold;
        probe.load(data.codes_of(c));
        // Sizes stay as computed before the step: absorbing a cluster does not grow the absorber. Every
        // block lists its centroids largest first, so the strictly smaller ones are a tail of it.
        const CountSum size_c = sizes[c];
        // Absorbed and not-smaller candidates use up the cap as well; the centroid itself does not.
        std::uint64_t budget = limit;
        // A centroid left as it was needs judging only against candidates that were not.
        const bool only_changed = memory != nullptr && memory->unchanged(c, sizes);
        // Exits pass, so out of reach is no reason to leave a block out then.
        blocks.visit_neighbours(own, limit != UINT64_MAX || exits_pass, threshold, [&](std::size_t b) {
            const std::vector<std::size_t>& ids = blocks.centroids[b];
            const std::uint32_t skip = b == own ? blocks.rank[c] : search::kNoRank;
            const std::uint32_t end = blocks.window(b, budget, skip);
            const std::vector<CountSum>& bs = block_sizes[b];
            const auto lo =
                bs.back() >= size_c
                    ? end
                    : static_cast<std::uint32_t>(
                          std::partition_point(bs.begin(), bs.begin() + end, [&](CountSum s) { return s >= size_c; }) -
                          bs.begin());
            if (only_changed) {
                const std::vector<std::uint32_t>& ranks = changed[b];
                for (auto r = std::lower_bound(ranks.begin(), ranks.end(), lo); r != ranks.end() && *r < end; ++r)
                    if (probe.sim(data.codes_of(ids[*r])) >= threshold) out.push_back(ids[*r]);
            } else if (exits_pass) {
                for (std::uint32_t r = lo; r < end; ++r)
                    if (probe.sim(data.codes_of(ids[r])) >= threshold) out.push_back(ids[r]);
            } else if (lo < end && !out_of_reach(data.tables, key, blocks.keys[b], threshold)) {
                const std::size_t first = out.size();
                blocks.sets[b].live_in(probe, lo, end, [&](std::uint32_t rank, double s) {
                    if (s >= threshold) out.push_back(ids[rank]);
                });
                // The search reports ranks in no particular order.
                std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                          [&](std::size_t x, std::size_t y) { return blocks.rank[x] < blocks.rank[y]; });
            }
            if (budget != UINT64_MAX) budget -= end - (skip < end ? 1 : 0);
            return budget > 0;
        });
        return out;
    }
};

// Centroids judged on the pool at a time: enough to keep the workers busy, few enough that the judgements
// of centroids absorbed earlier in the same window cost little.
constexpr std::size_t kWindow = 4096;

}  // namespace

std::uint64_t merge_step(const RefineData& data, std::vector<std::size_t>& assignment, double threshold,
                         std::int64_t merge_cap, Pool* pool, Monitor* monitor, MergeMemory* memory) {
    const std::size_t n = assignment.size();
    const std::vector<CountSum> sizes = cluster_sizes(data.table, assignment);
    const std::vector<std::size_t> merge_order = centroids_by_size(data, assignment, sizes);
    const CentroidBlocks blocks = centroid_blocks(data, merge_order);
    const Verdicts verdicts(data, blocks, sizes, threshold, merge_cap, memory);

    std::vector<std::uint8_t> absorbed(n, 0);
    std::vector<std::size_t> absorbed_into(n, 0);
    std::uint64_t count_absorbed = 0;
    // Each candidate appears once in a centroid's list, so the order of absorbing within it does not matter.
    auto apply = [&](std::size_t c, const std::vector<std::size_t>& similar) {
        for (std::size_t d : similar) {
            if (absorbed[d]) continue;
            absorbed_into[d] = c;
            absorbed[d] = 1;
            ++count_absorbed;
        }
    };
    if (pool == nullptr) {
        search::Probe probe(data.tables, threshold);
        Ticker tick(monitor, 16);
        for (std::size_t c : merge_order) {
            tick();
            if (!absorbed[c]) apply(c, verdicts.similar(probe, c));
        }
    } else {
        for (std::size_t from = 0; from < merge_order.size(); from += kWindow) {
            const std::size_t count = std::min(kWindow, merge_order.size() - from);
            const auto window = parallel_map_local(
                pool, count, [&] { return search::Probe(data.tables, threshold); },
                [&](search::Probe& probe, std::size_t k) {
                    const std::size_t c = merge_order[from + k];
                    return absorbed[c] ? std::vector<std::size_t>{} : verdicts.similar(probe, c);
                },
                monitor);
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t c = merge_order[from + k];
                if (!absorbed[c]) apply(c, window[k]);
            }
        }
    }

    if (count_absorbed > 0)
        for (std::size_t& c : assignment)
            while (absorbed[c]) c = absorbed_into[c];
    if (memory != nullptr) {
        memory->standing.assign(n, 0);
        memory->size.assign(n, 0);
        for (std::size_t c : merge_order) {
            if (absorbed[c]) continue;
            memory->standing[c] = 1;
            memory->size[c] = sizes[c];
        }
    }
    return count_absorbed;
}

}  // namespace kelvara
