#include "cluster/greedy.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_map>
#include <utility>

#include "anchors/block_index.hpp"
#include "parallel/pool.hpp"
#include "search/centroid_set.hpp"

namespace kelvara {

namespace {

struct Counters {
    std::uint64_t comparisons = 0;
    std::uint64_t early_exits = 0;
};

// Anchors per batch of a block clustered in batches.
constexpr std::size_t kMinBatch = 64;
constexpr std::size_t kMaxBatch = 2048;
static_assert(kMaxBatch < (1u << 16), "a batch's size and next index share one word");

// Centroids of one block in creation order.
struct CentroidList {
    explicit CentroidList(std::size_t len, std::uint32_t bucket_max = search::CentroidSet::kBucketMax)
        : set(len, bucket_max) {
        set.index_words(search::words_from());
    }

    std::vector<std::size_t> ids;  // by rank
    search::CentroidSet set;

    void add(std::size_t id, const std::uint8_t* codes) {
        ids.push_back(id);
        set.add(codes);
    }

    // The first matching centroid, or SIZE_MAX; counts the comparisons a literal scan up to it makes.
    std::size_t first_match(search::Probe& probe, Counters& c) const { return take(set.first_match(probe), c); }

    std::size_t take(const search::FirstMatch& m, Counters& c) const {
        c.comparisons += m.comparisons;
        c.early_exits += m.early_exits;
        return m.rank == search::kNoRank ? SIZE_MAX : ids[m.rank];
    }
};

struct BlockResult {
    std::vector<std::size_t> centroid;  // per member of the block, in member order
    Counters counters;
};

// One block clustered by one thread, in steps: a lane may put it down between two steps and go on later.
class BlockRun {
public:
    BlockRun(const SimTables& t, const std::uint8_t* codes, const std::vector<std::size_t>& members,
             const GreedyOptions& options)
        : len_(t.anchor_len),
          codes_(codes),
          members_(members),
          monitor_(options.monitor),
          centroids_(t.anchor_len, options.bucket_max),
          probe_(t, options.threshold) {
        out_.centroid.reserve(members.size());
    }

    // Clusters up to `limit` more anchors; true once the whole block is done.
    bool step(std::size_t limit) {
        const std::size_t end = members_.size() - next_ <= limit ? members_.size() : next_ + limit;
        Ticker tick(monitor_);
        for (; next_ < end; ++next_) {
            tick();
            // Members lie anywhere in the codes; a search takes long enough to fetch the next one's.
            if (next_ + 1 < end) __builtin_prefetch(codes_ + members_[next_ + 1] * len_);
            const std::size_t i = members_[next_];
            const std::uint8_t* anchor = codes_ + i * len_;
            probe_.load(anchor);
            std::size_t c = centroids_.first_match(probe_, out_.counters);
            if (c == SIZE_MAX) {
                centroids_.add(i, anchor);
                c = i;
            }
            out_.centroid.push_back(c);
        }
        return next_ == members_.size();
    }

    BlockResult& result() { return out_; }

private:
    std::size_t len_;
    const std::uint8_t* codes_;
    const std::vector<std::size_t>& members_;
    Monitor* monitor_;
    CentroidList centroids_;
    search::Probe probe_;
    std::size_t next_ = 0;
    BlockResult out_;
};

BlockResult cluster_block(const SimTables& t, const std::uint8_t* codes, const std::vector<std::size_t>& members,
                          const GreedyOptions& options) {
    BlockRun run(t, codes, members, options);
    run.step(SIZE_MAX);
    return std::move(run.result());
}

// The lanes of a pool during an own-block pass. The calling thread drives: it clusters the large blocks in
// batches, posting each batch's first comparisons for every free lane to take. All lanes take posted
// comparisons first; otherwise each goes on with a small block of its own, a few anchors at a time, so
// that no lane sits idle while the calling thread walks a batch, and none holds a batch up for long.
class SharedWork {
public:
    using Body = std::function<void(std::size_t, std::size_t)>;

    SharedWork(const SimTables& t, const std::uint8_t* codes, const std::vector<std::vector<std::size_t>>& blocks,
               std::size_t first_small, const GreedyOptions& options, std::vector<BlockResult>& results,
               std::size_t lanes)
        : t_(t),
          codes_(codes),
          blocks_(blocks),
          options_(options),
          results_(results),
          next_small_(first_small),
          lanes_(lanes) {}

    // Calling thread: runs `drive` as the driver; the batches end when it returns or throws.
    template <class Drive>
    void drive(Drive&& drive) {
        struct Close {
            std::atomic<bool>& closed;
            ~Close() { closed.store(true, std::memory_order_release); }
        } close{closed_};
        guarded(drive);
    }

    std::size_t lanes() const { return lanes_.size(); }

    // Driver: body(k, lane) for every k in [0, count) on whichever lanes are free, this one included.
    // Returns false, with the work unfinished, when another lane failed. Either way, and when it throws,
    // no lane is still inside `body` when it returns.
    bool batch(std::size_t count, const Body& body) {
        const std::size_t lane = lanes_.size() - 1;  // the calling thread's
        body_.store(&body, std::memory_order_relaxed);
        done_.store(0, std::memory_order_relaxed);
        ++generation_;
        word_.store(std::uint64_t{generation_} << 32 | std::uint64_t{count} << 16, std::memory_order_release);
        try {
            while (take_posted(lane))
                if (options_.monitor != nullptr) options_.monitor->poll();
            for (unsigned i = 1; done_.load(std::memory_order_acquire) < count; ++i) {
                if (stop_.load(std::memory_order_relaxed)) {
                    settle();
                    return false;
                }
                wait_a_moment(i);
                if (i % 1024 == 0 && options_.monitor != nullptr) options_.monitor->poll();
            }
        } catch (...) {
            stop_.store(true, std::memory_order_relaxed);
            settle();
            throw;
        }
        return true;
    }

    // Every lane: posted comparisons and small blocks, until the driver is done and so is every small block.
    void help(std::size_t lane) {
        guarded([&] {
            Lane& me = lanes_[lane];
            for (unsigned idle = 0;;) {
                if (stop_.load(std::memory_order_relaxed)) return;
                if (take_posted(lane)) continue;
                if (!me.run) {
                    const std::size_t b = next_small_.fetch_add(1, std::memory_order_relaxed);
                    if (b < blocks_.size()) {
                        me.block = b;
                        me.run = std::make_unique<BlockRun>(t_, codes_, blocks_[b], options_);
                    }
                }
                if (me.run) {
                    if (me.run->step(kStep)) {
                        results_[me.block] = std::move(me.run->result());
                        me.run.reset();
                    }
                    continue;
                }
                if (closed_.load(std::memory_order_acquire)) return;
                wait_a_moment(++idle);
            }
        });
    }

private:
    // Anchors of a small block between two looks at the posted work.
    static constexpr std::size_t kStep = 128;

    struct alignas(64) Lane {
        std::unique_ptr<BlockRun> run;
        std::size_t block = 0;
    };

    // One step of a spin-wait; now and then it lets another thread run, in case there are more lanes than
    // processors and the one being waited for is not running.
    static void wait_a_moment(unsigned i) {
        cpu_relax();
        if (i % 64 == 0) std::this_thread::yield();
    }

    // Driver: lets no lane start another comparison of the posted batch, then waits for those started.
    void settle() {
        std::uint64_t word = word_.load(std::memory_order_acquire);
        std::size_t started = 0;
        for (;;) {
            started = word & 0xffffu;
            const std::uint64_t closed = (word & ~std::uint64_t{0xffff}) | ((word >> 16) & 0xffffu);
            if (word_.compare_exchange_weak(word, closed, std::memory_order_acq_rel, std::memory_order_acquire)) break;
        }
        for (unsigned i = 1; done_.load(std::memory_order_acquire) < started; ++i) wait_a_moment(i);
    }

    // Takes and runs one posted comparison; false when none is left. The batch's size travels in the same
    // word as its next index, and the generation keeps a lane that read an old batch from taking an index
    // of the next one.
    bool take_posted(std::size_t lane) {
        std::uint64_t word = word_.load(std::memory_order_acquire);
        for (;;) {
            const std::size_t k = word & 0xffffu, count = (word >> 16) & 0xffffu;
            if (k >= count) return false;
            const Body* body = body_.load(std::memory_order_relaxed);
            if (word_.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
                // Counted as done even when it throws, so that the driver never waits for it in vain.
                struct Done {
                    std::atomic<std::size_t>& done;
                    ~Done() { done.fetch_add(1, std::memory_order_release); }
                } done{done_};
                (*body)(k, lane);
                return true;
            }
        }
    }

    // A lane that fails stops the others, which then leave quietly: its own exception tells why.
    template <class F>
    void guarded(F&& f) {
        try {
            f();
        } catch (...) {
            stop_.store(true, std::memory_order_relaxed);
            throw;
        }
    }

    const SimTables& t_;
    const std::uint8_t* codes_;
    const std::vector<std::vector<std::size_t>>& blocks_;
    const GreedyOptions& options_;
    std::vector<BlockResult>& results_;
    std::atomic<std::size_t> next_small_;
    std::vector<Lane> lanes_;
    std::uint32_t generation_ = 0;        // driver only
    std::atomic<std::uint64_t> word_{0};  // generation << 32 | size << 16 | next index of the posted batch
    std::atomic<const Body*> body_{nullptr};
    std::atomic<std::size_t> done_{0};
    std::atomic<bool> closed_{false};
    std::atomic<bool> stop_{false};
};

// One large block with every lane. Centroid lists only grow and a comparison is pure, so each batch of
// anchors is first compared, in parallel, with the centroids that existed when the batch began; then the
// driver walks the batch in order, and an anchor without a match among those goes on to the centroids
// created earlier in the same batch, just as the serial pass would have gone on. The comparisons are the
// serial pass's own, so the assignment and both counters are too. False when another lane failed.
bool cluster_block_in_batches(const SimTables& t, const std::uint8_t* codes, const std::vector<std::size_t>& members,
                              const GreedyOptions& options, SharedWork& work, BlockResult& out) {
    const std::size_t len = t.anchor_len;
    out.centroid.reserve(members.size());
    CentroidList centroids(len, options.bucket_max);
    std::vector<search::Probe> probes(work.lanes(), search::Probe(t, options.threshold));
    search::Probe probe(t, options.threshold);
    std::vector<search::FirstMatch> old;
    Ticker tick(options.monitor);
    for (std::size_t from = 0; from < members.size();) {
        // Small batches while the list is short, so that the serial walk stays a small share of the work.
        const std::size_t size = std::clamp<std::size_t>(centroids.ids.size() / 8, kMinBatch, kMaxBatch);
        const std::size_t count = std::min(size, members.size() - from);
        old.assign(count, {});
        const bool done = work.batch(count, [&](std::size_t k, std::size_t w) {
            probes[w].load(codes + members[from + k] * len);
            old[k] = centroids.set.first_match(probes[w]);
        });
        if (!done) return false;

        CentroidList fresh(len, options.bucket_max);
        for (std::size_t k = 0; k < count; ++k) {
            tick();
            const std::size_t i = members[from + k];
            std::size_t c = centroids.take(old[k], out.counters);
            if (c == SIZE_MAX && !fresh.ids.empty()) {
                probe.load(codes + i * len);
                c = fresh.first_match(probe, out.counters);
            }
            if (c == SIZE_MAX) {
                centroids.add(i, codes + i * len);
                fresh.add(i, codes + i * len);
                c = i;
            }
            out.centroid.push_back(c);
        }
        from += count;
    }
    return true;
}

// The anchors of every block, in index order; blocks in no particular order. Keys go through a small table
// with open addressing, and every block's list is allocated once: on a serial step this is a few cycles an
// anchor instead of a node-based map's division and pointer chase.
std::vector<std::vector<std::size_t>> partition_by_block(const SimTables& t, const std::uint8_t* residues,
                                                         std::size_t n) {
    constexpr std::uint32_t kEmpty = UINT32_MAX;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> slots(64, kEmpty);
    unsigned shift = 58;  // 64 - log2(slots)
    std::vector<std::size_t> sizes;
    std::vector<std::uint32_t> block_of(n);
    auto slot_of = [&](std::uint64_t key) {
        std::size_t h = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift);
        while (slots[h] != kEmpty && keys[slots[h]] != key) h = (h + 1) & (slots.size() - 1);
        return h;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = block_key(t, residues + i * t.anchor_len);
        std::size_t h = slot_of(key);
        if (slots[h] == kEmpty) {
            if (2 * (keys.size() + 1) > slots.size()) {
                slots.assign(slots.size() * 2, kEmpty);
                --shift;
                for (std::uint32_t b = 0; b < keys.size(); ++b) slots[slot_of(keys[b])] = b;
                h = slot_of(key);
            }
            slots[h] = static_cast<std::uint32_t>(keys.size());
            keys.push_back(key);
            sizes.push_back(0);
        }
        block_of[i] = slots[h];
        ++sizes[slots[h]];
    }
    std::vector<std::vector<std::size_t>> blocks(keys.size());
    for (std::size_t b = 0; b < blocks.size(); ++b) blocks[b].reserve(sizes[b]);
    for (std::size_t i = 0; i < n; ++i) blocks[block_of[i]].push_back(i);
    return blocks;
}

// Own-block mode: blocks never see each other, so they are independent tasks, the largest ones each taken
// in batches by every lane; the serial pass is the same without a pool.
GreedyResult cluster_by_block(const SimTables& t, const std::uint8_t* residues, const std::uint8_t* codes,
                              std::size_t n, const GreedyOptions& options) {
    std::vector<std::vector<std::size_t>> blocks = partition_by_block(t, residues, n);
    // Largest blocks first so that no lane starts the biggest one last.
    std::sort(blocks.begin(), blocks.end(), [](const auto& a, const auto& b) {
        return a.size() != b.size() ? a.size() > b.size() : a.front() < b.front();
    });

    std::vector<BlockResult> results(blocks.size());
    if (options.workers > 0 && n >= options.serial_below) {
        Pool pool(options.workers);
        const std::size_t lanes = pool.size();
        // A block that would keep one lane busy for a good share of the pass gets every lane.
        const std::size_t large = std::max(options.parallel_block, n / (2 * lanes));
        std::size_t first_small = 0;
        while (first_small < blocks.size() && blocks[first_small].size() >= large) ++first_small;
        SharedWork work(t, codes, blocks, first_small, options, results, lanes);
        const std::function<void()> drive = [&] {
            work.drive([&] {
                if (options.beside) options.beside();
                for (std::size_t b = 0; b < first_small; ++b)
                    if (!cluster_block_in_batches(t, codes, blocks[b], options, work, results[b])) return;
            });
        };
        pool.run(
            lanes, [&](std::size_t, std::size_t lane) { work.help(lane); }, options.monitor, drive);
    } else {
        for (std::size_t b = 0; b < blocks.size(); ++b) results[b] = cluster_block(t, codes, blocks[b], options);
    }

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
// list is rebuilt only when a block has been created since it was last built, and then from an index that
// leaves out the blocks whose bound cannot reach the cut.
struct Candidates {
    std::size_t blocks_seen = SIZE_MAX;
    std::vector<std::pair<double, std::uint64_t>> list;
};

GreedyResult cluster_with_block_walks(const SimTables& t, const std::uint8_t* residues, const std::uint8_t* codes,
                                      std::size_t n, const GreedyOptions& options) {
    GreedyResult out;
    out.assignment.assign(n, 0);
    Counters counters;
    std::unordered_map<std::uint64_t, CentroidList> blocks;
    BlockIndex index(t);
    std::unordered_map<std::uint64_t, Candidates> candidates;
    const double cut = options.effective_cut;
    search::Probe probe(t, options.threshold);
    Ticker tick(options.monitor);

    for (std::size_t i = 0; i < n; ++i) {
        tick();
        const std::uint8_t* anchor = residues + i * t.anchor_len;
        const std::uint64_t key = block_key(t, anchor);

        Candidates& cand = candidates[key];
        if (cand.blocks_seen != blocks.size()) {
            cand.blocks_seen = blocks.size();
            cand.list.clear();
            index.walk(
                key, false, [&](double bound) { return !(bound >= cut); }, [&](double bound) { return bound >= cut; },
                [&](std::uint32_t, std::uint64_t other, double bound) {
                    cand.list.emplace_back(bound, other);
                    return true;
                });
            std::sort(cand.list.begin(), cand.list.end(), [](const auto& a, const auto& b) {
                return a.first != b.first ? a.first > b.first : a.second < b.second;
            });
            // The own block always uses one probe, whether it exists yet or not.
            if (options.obg_max_probes > 0 && cand.list.size() > static_cast<std::uint64_t>(options.obg_max_probes) - 1)
                cand.list.resize(static_cast<std::size_t>(options.obg_max_probes) - 1);
        }

        probe.load(codes + i * t.anchor_len);
        std::size_t centroid = SIZE_MAX;
        if (auto own = blocks.find(key); own != blocks.end()) centroid = own->second.first_match(probe, counters);
        for (std::size_t c = 0; centroid == SIZE_MAX && c < cand.list.size(); ++c)
            centroid = blocks.at(cand.list[c].second).first_match(probe, counters);

        if (centroid == SIZE_MAX) {
            const auto [it, created] = blocks.try_emplace(key, t.anchor_len, options.bucket_max);
            if (created) index.add(key, 0);
            it->second.add(i, codes + i * t.anchor_len);
            centroid = i;
        }
        out.assignment[i] = centroid;
    }
    out.n_comparisons = counters.comparisons;
    out.n_early_exits = counters.early_exits;
    return out;
}

// Block-search mode. Every anchor's key is known before the pass, so the candidate blocks of every key are
// found at once, best bound first; an anchor then looks at those that exist by then. Where that would take
// more memory than it saves time (many keys within reach of each other), each key walks the index instead.
GreedyResult cluster_with_block_search(const SimTables& t, const std::uint8_t* residues, const std::uint8_t* codes,
                                       std::size_t n, const GreedyOptions& options) {
    std::vector<std::uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = block_key(t, residues + i * t.anchor_len);
    std::vector<std::uint64_t> distinct = keys;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

    const double cut = options.effective_cut;
    const std::size_t limit =
        options.pair_limit > 0 ? options.pair_limit : std::max<std::size_t>(std::size_t{1} << 22, 32 * distinct.size());
    auto lists = neighbour_lists(
        t, distinct, false, [&](double bound) { return !(bound >= cut); }, [&](double bound) { return bound >= cut; },
        limit);
    if (!lists) return cluster_with_block_walks(t, residues, codes, n, options);
    std::vector<std::pair<double, std::uint32_t>> ranked;
    for (std::size_t k = 0; k < distinct.size(); ++k) {
        std::vector<std::uint32_t>& list = (*lists)[k];
        ranked.clear();
        for (std::uint32_t b : list) ranked.emplace_back(block_upper_bound(t, distinct[k], distinct[b]), b);
        std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        for (std::size_t r = 0; r < ranked.size(); ++r) list[r] = ranked[r].second;
    }

    GreedyResult out;
    out.assignment.assign(n, 0);
    Counters counters;
    std::vector<std::unique_ptr<CentroidList>> blocks(distinct.size());
    // The own block always uses one probe, whether it exists yet or not.
    const std::uint64_t probes =
        options.obg_max_probes > 0 ? static_cast<std::uint64_t>(options.obg_max_probes) - 1 : UINT64_MAX;
    search::Probe probe(t, options.threshold);
    Ticker tick(options.monitor);
    for (std::size_t i = 0; i < n; ++i) {
        tick();
        const std::size_t own =
            static_cast<std::size_t>(std::lower_bound(distinct.begin(), distinct.end(), keys[i]) - distinct.begin());
        probe.load(codes + i * t.anchor_len);
        std::size_t centroid = SIZE_MAX;
        if (blocks[own]) centroid = blocks[own]->first_match(probe, counters);
        std::uint64_t probed = 0;
        for (const std::uint32_t b : (*lists)[own]) {
            if (centroid != SIZE_MAX || probed == probes) break;
            if (!blocks[b]) continue;
            ++probed;
            centroid = blocks[b]->first_match(probe, counters);
        }
        if (centroid == SIZE_MAX) {
            if (!blocks[own]) blocks[own] = std::make_unique<CentroidList>(t.anchor_len, options.bucket_max);
            blocks[own]->add(i, codes + i * t.anchor_len);
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
    const std::vector<std::uint8_t> codes = search::summing_codes(tables, residues, n);
    GreedyOptions chosen = options;
    if (chosen.bucket_max == 0) chosen.bucket_max = search::bucket_max_for(tables, options.threshold);
    GreedyResult out = options.obg_block_search ? cluster_with_block_search(tables, residues, codes.data(), n, chosen)
                                                : cluster_by_block(tables, residues, codes.data(), n, chosen);
    if (options.monitor != nullptr) options.monitor->finish();
    return out;
}

}  // namespace kelvara
