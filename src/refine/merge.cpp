#include "refine/merge.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

namespace kelvara {

namespace {

// Centroids in merge order with their sizes, searchable as one set: an uncapped merge examines every
// strictly smaller centroid of its own and of agreeing blocks, a suffix of the merge order, and blocks out of
// reach hold none similar enough, so one search over that suffix finds what the walk over blocks finds.
struct Ranked {
    // Every centroid examines most of the set: a trie somewhat deeper than a block's prunes more of it.
    static constexpr std::uint32_t kBucketMax = 2048;

    Ranked(const RefineData& data, const std::vector<CountSum>& sizes, std::vector<std::size_t> ids_, bool index,
           const search::ForEach* for_each)
        : ids(std::move(ids_)), set(data.tables.anchor_len, kBucketMax) {
        for (std::size_t r = 0; r < ids.size(); ++r) {
            if (r > 0 && sizes[ids[r]] == sizes[ids[r - 1]]) continue;
            run_size.push_back(sizes[ids[r]]);
            run_start.push_back(static_cast<std::uint32_t>(r));
        }
        // Like a trie, words pay only for a set searched many times.
        if (index) set.index_words(search::words_from());
        set.assign(data.codes.data(), ids.data(), ids.size(), index, for_each);
    }

    // The first rank of a centroid smaller than `s`, found among the sizes' runs: far fewer than the
    // centroids, they stay in cache.
    std::uint32_t smaller_than(CountSum s) const {
        const auto run = static_cast<std::size_t>(
            std::partition_point(run_size.begin(), run_size.end(), [&](CountSum x) { return x >= s; }) -
            run_size.begin());
        return run < run_start.size() ? run_start[run] : static_cast<std::uint32_t>(ids.size());
    }

    std::vector<std::size_t> ids;          // merge order: sizes descending
    std::vector<CountSum> run_size;        // each size once, descending
    std::vector<std::uint32_t> run_start;  // the first rank of each
    search::CentroidSet set;
};

// A set of centroids gets a trie when at least one search per this many entries will use it; fewer searches
// cost less scanning every entry than building one would.
constexpr std::size_t kScanPerTrie = 1024;

// The candidates of one centroid whose similarity to it reaches the threshold.
struct Verdicts {
    Verdicts(const RefineData& data_, const std::vector<CountSum>& sizes_, const std::vector<std::size_t>& merge_order,
             double threshold_, std::int64_t merge_cap, const MergeMemory* memory_, Pool* pool)
        : data(data_),
          sizes(sizes_),
          threshold(threshold_),
          limit(merge_cap > 0 ? static_cast<std::uint64_t>(merge_cap) : UINT64_MAX),
          // An early exit reports -1.0, which passes a threshold of -1.0 or below: then every candidate needs
          // its literal similarity, since the searches leave exits out.
          walks(limit != UINT64_MAX || -1.0 >= threshold),
          memory(limit == UINT64_MAX ? memory_ : nullptr) {
        for (std::size_t c : merge_order) smallest = std::min(smallest, sizes[c]);
        search::ForEach on_pool = [pool](std::size_t n, const std::function<void(std::size_t)>& body) {
            pool->run(n, [&](std::size_t i, std::size_t) { body(i); });
        };
        const search::ForEach* for_each = pool != nullptr ? &on_pool : nullptr;
        if (walks) {
            blocks = std::make_unique<CentroidBlocks>(
                centroid_blocks(data, merge_order, limit != UINT64_MAX ? limit + 1 : SIZE_MAX, pool));
            return;
        }
        // A first step has nothing to remember.
        if (memory == nullptr || memory->standing.empty()) {
            all = std::make_unique<Ranked>(data, sizes, merge_order, true, for_each);
            return;
        }
        std::vector<std::size_t> moved;
        std::size_t searching_all = 0;  // absorbers that were not left as they were
        for (std::size_t d : merge_order) {
            if (memory->unchanged(d, sizes)) continue;
            moved.push_back(d);
            searching_all += sizes[d] > smallest;
        }
        // Later steps leave most centroids as they were; a few searches scan every entry faster than a
        // trie is built for them.
        if (searching_all > 0)
            all = std::make_unique<Ranked>(data, sizes, merge_order, searching_all * kScanPerTrie > merge_order.size(),
                                           for_each);
        changed = std::make_unique<Ranked>(data, sizes, std::move(moved), true, for_each);
    }

    const RefineData& data;
    const std::vector<CountSum>& sizes;
    double threshold;
    std::uint64_t limit;               // candidates examined per centroid; UINT64_MAX for no cap
    bool walks;                        // candidates are examined block by block, in walk order
    const MergeMemory* memory;         // only without a cap, where every smaller candidate is examined
    CountSum smallest = ~CountSum{0};  // most clusters are as small as any: they can absorb nothing
    // Held by pointer: GCC's uninitialised-use analysis misreads an optional of these under sanitizers.
    std::unique_ptr<CentroidBlocks> blocks;  // for walks
    std::unique_ptr<Ranked> all;             // otherwise: every centroid
    std::unique_ptr<Ranked> changed;         // and those not left as the previous step left them

    // Candidates in no particular order: each is absorbed at most once, by the first centroid that finds it.
    std::vector<std::size_t> similar(search::Probe& probe, std::size_t c) const {
        std::vector<std::size_t> out;
        probe.load(data.codes_of(c));
        if (walks) return walked(probe, c);
        // A centroid left as it was needs judging only against candidates that were not.
        const Ranked& ranked = memory != nullptr && memory->unchanged(c, sizes) ? *changed : *all;
        const std::uint64_t key = data.key_of(c);
        const std::size_t n_positions = data.tables.positions.size();
        ranked.set.live_in(probe, ranked.smaller_than(sizes[c]), static_cast<std::uint32_t>(ranked.ids.size()),
                           [&](std::uint32_t rank, double s) {
                               if (!(s >= threshold)) return;
                               const std::size_t d = ranked.ids[rank];
                               const std::uint64_t other = data.key_of(d);
                               if (other == key || blocks_agree(key, other, n_positions)) out.push_back(d);
                           });
        return out;
    }

    // Block by block in walk order, counting candidates against the cap.
    std::vector<std::size_t> walked(search::Probe& probe, std::size_t c) const {
        std::vector<std::size_t> out;
        const std::size_t own = blocks->find(c);
        // Sizes stay as computed before the step: absorbing a cluster does not grow the absorber. Every
        // block lists its centroids largest first, so the strictly smaller ones are a tail of it.
        const CountSum size_c = sizes[c];
        // Absorbed and not-smaller candidates use up the cap as well; the centroid itself does not.
        std::uint64_t budget = limit;
        blocks->visit_neighbours(own, true, threshold, [&](std::size_t b) {
            const std::vector<std::size_t>& ids = blocks->centroids[b];
            const std::uint32_t skip = b == own ? blocks->rank[c] : search::kNoRank;
            const std::uint32_t end = blocks->window(b, budget, skip);
            const auto lo =
                static_cast<std::uint32_t>(std::partition_point(ids.begin(), ids.begin() + end,
                                                                [&](std::size_t d) { return sizes[d] >= size_c; }) -
                                           ids.begin());
            if (-1.0 >= threshold) {
                for (std::uint32_t r = lo; r < end; ++r)
                    if (probe.sim(data.codes_of(ids[r])) >= threshold) out.push_back(ids[r]);
            } else if (lo < end && !out_of_reach(data.tables, data.key_of(c), blocks->keys[b], threshold)) {
                blocks->live_in(b, probe, lo, end, [&](std::uint32_t rank, double s) {
                    if (s >= threshold) out.push_back(ids[rank]);
                });
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
                         std::int64_t merge_cap, Pool* pool, Monitor* monitor, MergeMemory* memory,
                         const OrderedClusters* ordered) {
    const std::size_t n = assignment.size();
    OrderedClusters own;
    if (ordered == nullptr) ordered_clusters(data, assignment, own);
    const std::vector<CountSum>& sizes = ordered == nullptr ? own.sizes : ordered->sizes;
    const std::vector<std::size_t>& merge_order = ordered == nullptr ? own.centroids : ordered->centroids;
    const Verdicts verdicts(data, sizes, merge_order, threshold, merge_cap, memory, pool);

    MergeMemory scratch;
    std::vector<std::uint8_t>& absorbed = (memory != nullptr ? memory : &scratch)->absorbed;
    std::vector<std::size_t>& absorbed_into = (memory != nullptr ? memory : &scratch)->absorbed_into;
    absorbed.assign(n, 0);
    absorbed_into.resize(n);  // read only where `absorbed`
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
    // Only clusters larger than the smallest can absorb; they come first in merge order.
    const std::size_t absorbers =
        static_cast<std::size_t>(std::partition_point(merge_order.begin(), merge_order.end(),
                                                      [&](std::size_t c) { return sizes[c] > verdicts.smallest; }) -
                                 merge_order.begin());
    if (pool == nullptr) {
        search::Probe probe(data.tables, threshold);
        Ticker tick(monitor, 16);
        for (std::size_t k = 0; k < absorbers; ++k) {
            tick();
            const std::size_t c = merge_order[k];
            if (!absorbed[c]) apply(c, verdicts.similar(probe, c));
        }
    } else {
        for (std::size_t from = 0; from < absorbers; from += kWindow) {
            const std::size_t count = std::min(kWindow, absorbers - from);
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
