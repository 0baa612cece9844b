#include "cluster/greedy.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_map>
#include <utility>

#include "parallel/pool.hpp"

namespace kelvara {

namespace {

struct Counters {
    std::uint64_t comparisons = 0;
    std::uint64_t early_exits = 0;
};

// One anchor ready to be compared: its row of each position table, in summing order. Comparing against
// a centroid whose bytes are stored in the same order then reads both sides sequentially.
//
// Most comparisons end within the first two positions, so for a long centroid list the probe also
// tabulates those two steps for every pair of residues (20 letters and one class for all other bytes,
// which score alike): the running sum after two positions, or an early exit. The table holds the very
// same additions and tests, so the bits and the counters do not change.
class Probe {
public:
    static constexpr std::size_t kPairs = 21 * 21;
    static constexpr std::size_t kTabulateFrom = 32;  // centroids; below that the table costs more than it saves

    Probe(const SimTables& t, double threshold) : t_(t), threshold_(threshold), rows_(t.anchor_len) {}

    void load(const std::uint8_t* anchor) {
        for (std::size_t k = 0; k < rows_.size(); ++k) {
            const std::size_t p = t_.order[k];
            rows_[k] = t_.table(p) + anchor[p] * 128;
        }
        tabulated_ = false;
    }

    // The match test against centroid bytes in summing order; `pair` is their pair_index().
    bool matches(const std::uint8_t* centroid, std::uint16_t pair, Counters& c) const {
        ++c.comparisons;
        const std::size_t n = rows_.size();
        const double* bound = t_.suffix_bound.data();
        double s = 0.0;
        std::size_t k = 0;
        if (tabulated_) {
            if (exits_[pair]) {
                ++c.early_exits;
                return false;
            }
            s = after_two_[pair];
            k = 2;
        }
        for (; k < n; ++k) {
            s = s + rows_[k][centroid[k]];
            if (k + 1 < n && threshold_ > bound[k + 1] + s) {
                ++c.early_exits;
                return false;
            }
        }
        if (s < 0.0) {
            ++c.early_exits;
            return false;
        }
        return s >= threshold_;
    }

    // Builds the two-position table once per anchor, when a list is long enough to repay it.
    void prepare_for(std::size_t n_centroids) {
        if (tabulated_ || n_centroids < kTabulateFrom || rows_.size() < 3) return;
        const double* bound = t_.suffix_bound.data();
        for (std::size_t x = 0; x < 21; ++x) {
            const double s0 = 0.0 + rows_[0][representative(x)];
            const bool exit0 = threshold_ > bound[1] + s0;
            for (std::size_t y = 0; y < 21; ++y) {
                const double s1 = s0 + rows_[1][representative(y)];
                exits_[x * 21 + y] = exit0 || threshold_ > bound[2] + s1;
                after_two_[x * 21 + y] = s1;
            }
        }
        tabulated_ = true;
    }

    static std::uint16_t pair_index(const SimTables& t, const std::uint8_t* ordered) {
        return static_cast<std::uint16_t>(t.residue_index[ordered[0]] * 21 + t.residue_index[ordered[1]]);
    }

private:
    static std::size_t representative(std::size_t index) {
        return index < 20 ? static_cast<unsigned char>(kAlphabet[index]) : 0;
    }

    const SimTables& t_;
    double threshold_;
    std::vector<const double*> rows_;
    bool tabulated_ = false;
    std::array<bool, kPairs> exits_{};
    std::array<double, kPairs> after_two_{};
};

// Centroids of one block in creation order, with their bytes permuted into summing order.
struct CentroidList {
    std::vector<std::size_t> ids;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint16_t> pairs;

    void add(const SimTables& t, std::size_t id, const std::uint8_t* anchor) {
        ids.push_back(id);
        const std::size_t at = bytes.size();
        for (std::size_t p : t.order) bytes.push_back(anchor[p]);
        pairs.push_back(t.anchor_len >= 2 ? Probe::pair_index(t, bytes.data() + at) : 0);
    }

    // Index into `ids` of the first matching centroid, or ids.size().
    std::size_t first_match(Probe& probe, Counters& c) const {
        if (ids.empty()) return 0;
        probe.prepare_for(ids.size());
        const std::size_t len = bytes.size() / ids.size();
        for (std::size_t j = 0; j < ids.size(); ++j)
            if (probe.matches(bytes.data() + j * len, pairs[j], c)) return j;
        return ids.size();
    }
};

struct BlockResult {
    std::vector<std::size_t> centroid;  // per member of the block, in member order
    Counters counters;
};

BlockResult cluster_block(const SimTables& t, const std::uint8_t* residues, const std::vector<std::size_t>& members,
                          double threshold) {
    const std::size_t len = t.anchor_len;
    BlockResult out;
    out.centroid.reserve(members.size());
    CentroidList centroids;
    Probe probe(t, threshold);
    for (std::size_t i : members) {
        const std::uint8_t* anchor = residues + i * len;
        probe.load(anchor);
        const std::size_t j = centroids.first_match(probe, out.counters);
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
    const auto results = parallel_map(pool.get(), blocks, [&](const std::vector<std::size_t>& members) {
        return cluster_block(t, residues, members, options.threshold);
    });
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

    for (std::size_t i = 0; i < n; ++i) {
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
            if (options.obg_max_probes > 0 &&
                cand.list.size() > static_cast<std::uint64_t>(options.obg_max_probes) - 1)
                cand.list.resize(static_cast<std::size_t>(options.obg_max_probes) - 1);
        }

        probe.load(anchor);
        std::size_t centroid = SIZE_MAX;
        auto search = [&](const CentroidList& list) {
            const std::size_t j = list.first_match(probe, counters);
            if (j < list.ids.size()) centroid = list.ids[j];
        };
        if (auto own = blocks.find(key); own != blocks.end()) search(own->second);
        for (std::size_t c = 0; centroid == SIZE_MAX && c < cand.list.size(); ++c)
            search(blocks.at(cand.list[c].second));

        if (centroid == SIZE_MAX) {
            blocks[key].add(t, i, anchor);
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
    if (options.obg_block_search) return cluster_with_block_search(tables, residues, n, options);
    return cluster_by_block(tables, residues, n, options);
}

}  // namespace kelvara
