#include "cluster/greedy.hpp"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <utility>

#include "anchors/probe.hpp"
#include "parallel/pool.hpp"

namespace kelvara {

namespace {

struct Counters {
    std::uint64_t comparisons = 0;
    std::uint64_t early_exits = 0;
};

// Centroids of one block in creation order.
struct CentroidList {
    explicit CentroidList(const SimTables& t) : ordered(t) {}

    std::vector<std::size_t> ids;
    OrderedAnchors ordered;

    void add(const SimTables& t, std::size_t id, const std::uint8_t* anchor) {
        ids.push_back(id);
        ordered.add(t, anchor);
    }

    // Index into `ids` of the first matching centroid, or ids.size(). A negative result, early exits
    // included, never matches; the centroids after the first match are not compared.
    std::size_t first_match(Probe& probe, double threshold, Counters& c) const {
        probe.expect(ids.size());
        double r[Probe::kBatch];
        for (std::size_t j = 0; j < ids.size(); j += Probe::kBatch) {
            const std::size_t count = std::min(Probe::kBatch, ids.size() - j);
            probe.sim_batch(ordered, j, count, r);
            for (std::size_t lane = 0; lane < count; ++lane) {
                ++c.comparisons;
                if (r[lane] < 0.0) {
                    ++c.early_exits;
                } else if (r[lane] >= threshold) {
                    return j + lane;
                }
            }
        }
        return ids.size();
    }
};

struct BlockResult {
    std::vector<std::size_t> centroid;  // per member of the block, in member order
    Counters counters;
};

BlockResult cluster_block(const SimTables& t, const std::uint8_t* residues, const std::vector<std::size_t>& members,
                          double threshold, Monitor* monitor) {
    const std::size_t len = t.anchor_len;
    BlockResult out;
    out.centroid.reserve(members.size());
    CentroidList centroids(t);
    Probe probe(t, threshold);
    Ticker tick(monitor);
    for (std::size_t i : members) {
        tick();
        const std::uint8_t* anchor = residues + i * len;
        probe.load(anchor);
        const std::size_t j = centroids.first_match(probe, threshold, out.counters);
        if (j < centroids.ids.size()) {
            out.centroid.push_back(centroids.ids[j]);
        } else {
            centroids.add(t, i, anchor);
            out.centroid.push_back(i);
        }
    }
    return out;
}

// Own-block mode: blocks never see each other, so they run as independent tasks; the serial pass is the
// same map without a pool.
GreedyResult cluster_by_block(const SimTables& t, const std::uint8_t* residues, std::size_t n,
                              const GreedyOptions& options) {
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> partition;
    for (std::size_t i = 0; i < n; ++i) partition[block_key(t, residues + i * t.anchor_len)].push_back(i);

    std::vector<std::vector<std::size_t>> blocks;
    blocks.reserve(partition.size());
    for (auto& entry : partition) blocks.push_back(std::move(entry.second));
    // Largest blocks first so that no worker starts the biggest one last.
    std::sort(blocks.begin(), blocks.end(), [](const auto& a, const auto& b) {
        return a.size() != b.size() ? a.size() > b.size() : a.front() < b.front();
    });

    std::unique_ptr<Pool> pool;
    if (options.workers > 0) pool = std::make_unique<Pool>(options.workers);
    std::vector<BlockResult> results(blocks.size());
    auto run_block = [&](std::size_t b) {
        results[b] = cluster_block(t, residues, blocks[b], options.threshold, options.monitor);
    };
    if (pool) {
        pool->run(blocks.size(), run_block, options.monitor);
    } else {
        for (std::size_t b = 0; b < blocks.size(); ++b) run_block(b);
    }
    pool.reset();

    GreedyResult out;
    out.assignment.assign(n, 0);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        for (std::size_t k = 0; k < blocks[b].size(); ++k) out.assignment[blocks[b][k]] = results[b].centroid[k];
        out.n_comparisons += results[b].counters.comparisons;
        out.n_early_exits += results[b].counters.early_exits;
    }
    return out;
}

// Candidate blocks of one own key: kept bounds, best first. Bounds depend only on the two keys, so the
// list is rebuilt only when a block has been created since it was last built.
struct Candidates {
    std::size_t blocks_seen = SIZE_MAX;
    std::vector<std::pair<double, std::uint64_t>> list;
};

GreedyResult cluster_with_block_search(const SimTables& t, const std::uint8_t* residues, std::size_t n,
                                       const GreedyOptions& options) {
    GreedyResult out;
    out.assignment.assign(n, 0);
    Counters counters;
    std::unordered_map<std::uint64_t, CentroidList> blocks;
    std::unordered_map<std::uint64_t, Candidates> candidates;
    Probe probe(t, options.threshold);
    Ticker tick(options.monitor);

    for (std::size_t i = 0; i < n; ++i) {
        tick();
        const std::uint8_t* anchor = residues + i * t.anchor_len;
        const std::uint64_t key = block_key(t, anchor);

        Candidates& cand = candidates[key];
        if (cand.blocks_seen != blocks.size()) {
            cand.blocks_seen = blocks.size();
            cand.list.clear();
            for (const auto& entry : blocks) {
                if (entry.first == key) continue;
                const double u = block_upper_bound(t, key, entry.first);
                if (u >= options.effective_cut) cand.list.emplace_back(u, entry.first);
            }
            std::sort(cand.list.begin(), cand.list.end(), [](const auto& a, const auto& b) {
                return a.first != b.first ? a.first > b.first : a.second < b.second;
            });
            // The own block always uses one probe, whether it exists yet or not.
            if (options.obg_max_probes > 0 && cand.list.size() > static_cast<std::uint64_t>(options.obg_max_probes) - 1)
                cand.list.resize(static_cast<std::size_t>(options.obg_max_probes) - 1);
        }

        probe.load(anchor);
        std::size_t centroid = SIZE_MAX;
        auto search = [&](const CentroidList& list) {
            const std::size_t j = list.first_match(probe, options.threshold, counters);
            if (j < list.ids.size()) centroid = list.ids[j];
        };
        if (auto own = blocks.find(key); own != blocks.end()) search(own->second);
        for (std::size_t c = 0; centroid == SIZE_MAX && c < cand.list.size(); ++c)
            search(blocks.at(cand.list[c].second));

        if (centroid == SIZE_MAX) {
            blocks.try_emplace(key, t).first->second.add(t, i, anchor);
            centroid = i;
        }
        out.assignment[i] = centroid;
    }
    out.n_comparisons = counters.comparisons;
    out.n_early_exits = counters.early_exits;
    return out;
}

}  // namespace

GreedyResult greedy_cluster(const SimTables& tables, const std::uint8_t* residues, std::size_t n,
                            const GreedyOptions& options) {
    if (n == 0) return {};
    if (options.monitor != nullptr) options.monitor->stage("cluster", 0, n);
    GreedyResult out = options.obg_block_search ? cluster_with_block_search(tables, residues, n, options)
                                                : cluster_by_block(tables, residues, n, options);
    if (options.monitor != nullptr) options.monitor->finish();
    return out;
}

}  // namespace kelvara
