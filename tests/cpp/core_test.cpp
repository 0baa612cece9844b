// Checks of the native core that need no interpreter: pool sizing from the environment, the ordered
// parallel map, and serial/parallel identity of the greedy pass and the refinement. CI also runs it
// under ThreadSanitizer.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "anchors/anchor_table.hpp"
#include "anchors/block_index.hpp"
#include "anchors/sim_tables.hpp"
#include "cluster/greedy.hpp"
#include "parallel/pool.hpp"
#include "refine/refine.hpp"
#include "search/centroid_set.hpp"
#include "search/kernels.hpp"

using namespace kelvara;

namespace {

int failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

std::size_t affinity_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

void set_env(const char* name, const char* value) {
    if (value == nullptr) {
        unsetenv(name);
    } else {
        setenv(name, value, 1);
    }
}

void test_thread_count_parsing() {
    CHECK(parse_thread_count("6") == 6u);
    CHECK(parse_thread_count("+6") == 6u);
    CHECK(parse_thread_count("0") == 0u);
    CHECK(parse_thread_count("18446744073709551615") == UINT64_MAX);
    for (const char* bad : {"", "+", "-1", " 6", "6 ", "six", "0x10", "18446744073709551616", "++1"})
        CHECK(!parse_thread_count(bad).has_value());
}

void test_pool_size() {
    const std::size_t cpus = affinity_count();
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, cpus}, {"6", nullptr, 6}, {"6", "3", 6},      {"0", "3", cpus},
        {"word", "3", 3},         {"-2", "3", 3},    {"", "3", 3},       {"word", nullptr, cpus},
        {nullptr, "0", cpus},     {nullptr, "5", 5}, {"+7", nullptr, 7}, {"100000", nullptr, kMaxWorkers},
    };
    for (const Case& c : cases) {
        set_env("RAYON_NUM_THREADS", c.num_threads);
        set_env("RAYON_RS_NUM_CPUS", c.rs_num_cpus);
        CHECK(pool_size(0) == c.expected);
        CHECK(pool_size(-3) == c.expected);
    }
    set_env("RAYON_NUM_THREADS", "6");
    CHECK(pool_size(2) == 2);  // an explicit request ignores the environment
    CHECK(pool_size(70000) == kMaxWorkers);
    set_env("RAYON_NUM_THREADS", nullptr);
    set_env("RAYON_RS_NUM_CPUS", nullptr);
}

void test_parallel_map() {
    for (std::size_t workers : {1, 2, 3, 8, 64}) {
        Pool pool(workers);
        CHECK(pool.size() == workers);
        for (std::size_t n : {0, 1, 2, 3, 7, 100, 10007}) {
            std::vector<std::atomic<int>> calls(n);
            const auto out = parallel_map(&pool, n, [&](std::size_t i) {
                calls[i].fetch_add(1);
                return i * i + 1;
            });
            CHECK(out.size() == n);
            for (std::size_t i = 0; i < n; ++i) CHECK(out[i] == i * i + 1 && calls[i].load() == 1);
        }
        // A failing element is reported on the calling thread and the pool stays usable.
        bool thrown = false;
        try {
            pool.run(1000, [](std::size_t i, std::size_t) {
                if (i == 500) throw std::runtime_error("boom");
            });
        } catch (const std::runtime_error&) {
            thrown = true;
        }
        CHECK(thrown);
        const std::vector<int> items{3, 1, 4, 1, 5};
        CHECK(parallel_map(&pool, items, [](int x) { return x * 2; }) == (std::vector<int>{6, 2, 8, 2, 10}));
    }
}

// anchor_sim, telling an early exit apart from a full sum of -1.0.
std::optional<double> literal_sim(const SimTables& t, const std::uint8_t* a, const std::uint8_t* b, double min_needed) {
    double s = 0.0;
    for (std::size_t k = 0; k < t.anchor_len; ++k) {
        const std::size_t p = t.order[k];
        s = s + t.entry(p, a[p], b[p]);
        if (k + 1 < t.anchor_len && min_needed > t.suffix_bound[k + 1] + s) return std::nullopt;
    }
    return s;
}

// Every search of a centroid set must give what literal anchor_sim loops give, bit for bit and counter
// for counter, under every kernel level the processor has.
void test_search_matches_literal_loops() {
    const search::Kernels* levels[3];
    const std::size_t n_levels = search::available_levels(levels, 3);
    std::mt19937_64 rng(3);
    // Few letters, so that prefixes repeat and the trie grows deep; some bytes outside the alphabet.
    const std::string letters = "AILVKRDEx";
    for (std::size_t len : {1, 2, 3, 9, 12, 20}) {
        for (double weight : {2.0, 1.0, -1.0}) {
            const SimTables t = make_sim_tables(len, {0, len - 1}, weight);
            const std::size_t n = 1500;
            std::vector<std::uint8_t> bytes(n * len);
            for (auto& ch : bytes) ch = static_cast<std::uint8_t>(letters[rng() % letters.size()]);
            const std::vector<std::uint8_t> codes = search::summing_codes(t, bytes.data(), n);
            // Small buckets, so that the trie grows deep and bursts happen; the same entries also all at once,
            // and without a trie (half assigned, half added); buckets of many chunks, which ranges cut into.
            search::CentroidSet set(len, 40), assigned(len, 40), flat(len, 40), wide(len, 400), words(len, 40),
                assigned_words(len, 40);
            for (std::size_t i = 0; i < n; ++i) set.add(codes.data() + i * len);
            // Greedy questions through the words from the first entry on.
            words.index_words(0);
            for (std::size_t i = 0; i < n / 2; ++i) words.add(codes.data() + i * len);
            std::vector<std::size_t> ids(n);
            for (std::size_t i = 0; i < n; ++i) ids[i] = i;
            assigned.assign(codes.data(), ids.data(), n);
            wide.assign(codes.data(), ids.data(), n);
            assigned_words.index_words(0);
            assigned_words.assign(codes.data(), ids.data(), n);
            flat.assign(codes.data(), ids.data(), n / 2, false);
            for (std::size_t i = n / 2; i < n; ++i) flat.add(codes.data() + i * len);
            for (std::size_t i = n / 2; i < n; ++i) words.add(codes.data() + i * len);
            for (double min_needed : {-2.0, 0.0, 0.5, 0.62, 0.7, 0.8, 0.9, 1.5}) {
                for (std::size_t l = 0; l < n_levels; ++l) {
                    search::use_level(levels[l]->name);
                    search::Probe probe(t, min_needed);
                    for (std::size_t q = 0; q < 30; ++q) {
                        const std::uint8_t* a = bytes.data() + (rng() % n) * len;
                        probe.load(codes.data() + (a - bytes.data()));
                        // The greedy question over the whole set.
                        std::uint64_t comparisons = 0, exits = 0;
                        std::uint32_t first = search::kNoRank;
                        for (std::size_t j = 0; j < n && first == search::kNoRank; ++j) {
                            const double s = anchor_sim(t, a, bytes.data() + j * len, min_needed);
                            ++comparisons;
                            if (s < 0.0) {
                                ++exits;
                            } else if (s >= min_needed) {
                                first = static_cast<std::uint32_t>(j);
                            }
                        }
                        for (const search::CentroidSet* s : {&set, &assigned, &flat, &wide, &words, &assigned_words}) {
                            const search::FirstMatch m = s->first_match(probe);
                            CHECK(m.rank == first && m.comparisons == comparisons && m.early_exits == exits);
                        }
                        // Every entry of a range that does not exit, with its similarity.
                        const auto lo = static_cast<std::uint32_t>(rng() % n);
                        const auto hi = static_cast<std::uint32_t>(lo + rng() % (n - lo + 1));
                        std::vector<std::pair<std::uint32_t, double>> want, got;
                        for (std::uint32_t j = lo; j < hi; ++j)
                            if (const auto s = literal_sim(t, a, bytes.data() + j * len, min_needed))
                                want.emplace_back(j, *s);
                        for (const search::CentroidSet* s : {&set, &assigned, &flat, &wide}) {
                            got.clear();
                            s->live_in(probe, lo, hi, [&](std::uint32_t r, double sum) { got.emplace_back(r, sum); });
                            std::sort(got.begin(), got.end());
                            bool same = got.size() == want.size();
                            for (std::size_t j = 0; same && j < got.size(); ++j)
                                same = got[j].first == want[j].first &&
                                       std::memcmp(&got[j].second, &want[j].second, sizeof(double)) == 0;
                            CHECK(same);
                        }
                    }
                }
            }
        }
    }
    search::use_level(nullptr);
}

// Random anchors over a small alphabet, so that blocks and clusters form; some have a non-alphabet byte.
AnchorTable random_table(std::mt19937_64& rng, std::size_t n, std::size_t len) {
    static const std::string letters = "AAILLVVKRDEST";
    std::vector<std::string> anchors;
    std::vector<std::uint64_t> counts;
    for (std::size_t i = 0; i < n; ++i) {
        std::string a;
        for (std::size_t p = 0; p < len; ++p) a += letters[rng() % letters.size()];
        if (rng() % 50 == 0) a[rng() % len] = 'x';
        anchors.push_back(a + std::to_string(i % 10));  // distinct enough; duplicates are harmless here
        counts.push_back(rng() % 5);
    }
    return build_anchor_table(std::move(anchors), std::move(counts));
}

// The first of `centroids` that anchor i matches, or SIZE_MAX, counting as a literal scan counts.
std::size_t literal_first_match(const SimTables& t, const AnchorTable& table, double threshold, std::size_t i,
                                const std::vector<std::size_t>& centroids, GreedyResult& out) {
    for (std::size_t c : centroids) {
        const double s = anchor_sim(t, table.row(i), table.row(c), threshold);
        ++out.n_comparisons;
        if (s < 0.0) {
            ++out.n_early_exits;
        } else if (s >= threshold) {
            return c;
        }
    }
    return SIZE_MAX;
}

// Own-block greedy clustering written as plainly as it reads, with anchor_sim.
GreedyResult literal_greedy(const SimTables& t, const AnchorTable& table, double threshold) {
    GreedyResult out;
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> blocks;
    for (std::size_t i = 0; i < table.size(); ++i) {
        std::vector<std::size_t>& centroids = blocks[block_key(t, table.row(i))];
        std::size_t match = literal_first_match(t, table, threshold, i, centroids, out);
        if (match == SIZE_MAX) {
            centroids.push_back(i);
            match = i;
        }
        out.assignment.push_back(match);
    }
    return out;
}

// Every way of running the greedy pass gives the literal pass's assignment and counters: serial or on a
// pool, blocks whole or in batches, deep tries or shallow ones.
void test_greedy_identity() {
    std::mt19937_64 rng(7);
    const AnchorTable many_blocks = random_table(rng, 4000, 8);
    // Position 0 of every anchor is in the same residue group, so all of them share one block.
    AnchorTable one_block = random_table(rng, 3000, 8);
    for (std::size_t i = 0; i < one_block.size(); ++i) one_block.residues[i * one_block.anchor_len] = 'A';
    // Too few to be worth a pool, unless told otherwise.
    const AnchorTable few = random_table(rng, 500, 8);
    struct Case {
        const AnchorTable* table;
        std::vector<std::size_t> positions;
    };
    // Eight anchor positions: thousands of blocks, most of them a single anchor.
    for (const Case& c : {Case{&many_blocks, {1, 8}}, Case{&many_blocks, {0, 1, 2, 3, 4, 5, 6, 7}},
                          Case{&one_block, {0}}, Case{&few, {0}}}) {
        const AnchorTable& table = *c.table;
        const SimTables tables = make_sim_tables(table.anchor_len, c.positions, 2.0);
        for (double threshold : {0.3, 0.6, 0.9}) {
            const GreedyResult expected = literal_greedy(tables, table, threshold);
            for (std::size_t workers : {0, 1, 2, 3, 8}) {
                for (std::uint32_t bucket_max : {16u, 0u}) {
                    GreedyOptions options;
                    options.threshold = threshold;
                    options.workers = workers;
                    options.parallel_block = 64;
                    options.bucket_max = bucket_max;
                    options.serial_below = c.table == &few && bucket_max == 16 ? 0 : GreedyOptions{}.serial_below;
                    const GreedyResult got = greedy_cluster(tables, table.residues.data(), table.size(), options);
                    CHECK(got.assignment == expected.assignment);
                    CHECK(got.n_comparisons == expected.n_comparisons && got.n_early_exits == expected.n_early_exits);
                }
            }
        }
    }
}

// A pass stopped through its monitor unwinds with Stopped however it runs, with no lane left inside a batch
// (the sanitizers watch the memory); `beside` runs exactly once when the pass has a pool, and what it
// throws comes out of the pass.
void test_greedy_stops_and_runs_beside_once() {
    std::mt19937_64 rng(11);
    // Half the anchors share one block; the rest spread over many small ones.
    AnchorTable table = random_table(rng, 6000, 8);
    for (std::size_t i = 0; i < table.size(); i += 2) table.residues[i * table.anchor_len] = 'A';
    const SimTables tables = make_sim_tables(table.anchor_len, {0, 8}, 2.0);
    const GreedyResult expected = literal_greedy(tables, table, 0.3);
    for (std::size_t workers : {0, 2, 3, 8}) {
        GreedyOptions options;
        options.threshold = 0.3;
        options.workers = workers;
        options.parallel_block = 64;
        for (int stop_at : {1, 2, 5, 20, 1000000}) {
            int reports = 0, besides = 0;
            Monitor monitor([&](const Monitor::Report&) { return ++reports < stop_at; }, std::chrono::milliseconds(0));
            options.monitor = &monitor;
            options.beside = [&] { ++besides; };
            bool stopped = false;
            try {
                const GreedyResult got = greedy_cluster(tables, table.residues.data(), table.size(), options);
                CHECK(got.assignment == expected.assignment && got.n_comparisons == expected.n_comparisons);
            } catch (const Stopped&) {
                stopped = true;
            }
            CHECK(stopped == (reports >= stop_at));
            CHECK(besides <= (workers > 0 ? 1 : 0));
            if (!stopped) CHECK(besides == (workers > 0 ? 1 : 0));
        }
        options.monitor = nullptr;
        options.beside = [] { throw std::runtime_error("beside"); };
        bool thrown = false;
        try {
            greedy_cluster(tables, table.residues.data(), table.size(), options);
        } catch (const std::runtime_error&) {
            thrown = true;
        }
        CHECK(thrown == (workers > 0));
    }
}

// Block keys of random anchors at many positions, distinct and ascending.
std::vector<std::uint64_t> random_keys(const SimTables& t, const AnchorTable& table) {
    std::vector<std::uint64_t> keys;
    for (std::size_t i = 0; i < table.size(); ++i) keys.push_back(block_key(t, table.row(i)));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

// Joining keys finds, for every key, what a walk from it finds, with both orders of a pair judged once
// where the bounds allow (NaN weights do not).
void test_join_matches_walks() {
    std::mt19937_64 rng(5);
    const AnchorTable table = random_table(rng, 3000, 9);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const std::vector<std::size_t>& positions :
         {std::vector<std::size_t>{1, 8}, {0, 2, 4, 6, 8}, {0, 1, 2, 3, 5, 6, 7, 8}}) {
        for (double weight : {2.0, 0.5, -1.0, nan}) {
            const SimTables t = make_sim_tables(table.anchor_len, positions, weight);
            const std::vector<std::uint64_t> keys = random_keys(t, table);
            BlockIndex index(t);
            for (std::uint32_t k = 0; k < keys.size(); ++k) index.add(keys[k], k);
            for (double cut : {0.3, 0.6, 0.85}) {
                auto hopeless = [&](double b) { return !(b >= cut); };
                auto keep = [&](double b) { return b >= cut; };
                for (bool agreeing : {false, true}) {
                    std::vector<std::vector<std::uint32_t>> want(keys.size());
                    std::size_t pairs = 0;
                    for (std::uint32_t k = 0; k < keys.size(); ++k)
                        index.walk(keys[k], agreeing, hopeless, keep, [&](std::uint32_t id, std::uint64_t, double) {
                            want[k].push_back(id);
                            ++pairs;
                            return true;
                        });
                    const auto lists = neighbour_lists(t, keys, agreeing, hopeless, keep, SIZE_MAX);
                    CHECK(lists && *lists == want);
                    std::size_t mismatched = 0;
                    index.join(agreeing, hopeless, keep, [&](std::uint32_t a, std::uint32_t b, double bound) {
                        mismatched += !(bound == block_upper_bound(t, keys[a], keys[b]));
                        return true;
                    });
                    CHECK(mismatched == 0);
                    // A limit below the pairs there are gives up.
                    if (pairs > 0) CHECK(!neighbour_lists(t, keys, agreeing, hopeless, keep, pairs - 1));
                }
            }
        }
    }
}

// Block-search greedy clustering written as plainly as it reads: every existing block other than the
// anchor's own whose bound reaches the cut, best bound first, ties by key, at most max_probes - 1 of them.
GreedyResult literal_block_search(const SimTables& t, const AnchorTable& table, double threshold, double cut,
                                  std::int64_t max_probes) {
    GreedyResult out;
    std::map<std::uint64_t, std::vector<std::size_t>> blocks;
    auto first_match = [&](std::size_t i, const std::vector<std::size_t>& centroids) {
        return literal_first_match(t, table, threshold, i, centroids, out);
    };
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::uint64_t key = block_key(t, table.row(i));
        std::vector<std::pair<double, std::uint64_t>> candidates;
        for (const auto& [other, centroids] : blocks) {
            const double u = block_upper_bound(t, key, other);
            if (other != key && u >= cut) candidates.emplace_back(-u, other);
        }
        std::sort(candidates.begin(), candidates.end());
        if (max_probes > 0 && candidates.size() > static_cast<std::size_t>(max_probes - 1))
            candidates.resize(static_cast<std::size_t>(max_probes - 1));
        std::size_t match = SIZE_MAX;
        if (blocks.count(key) != 0) match = first_match(i, blocks[key]);
        for (std::size_t k = 0; match == SIZE_MAX && k < candidates.size(); ++k)
            match = first_match(i, blocks[candidates[k].second]);
        if (match == SIZE_MAX) {
            blocks[key].push_back(i);
            match = i;
        }
        out.assignment.push_back(match);
    }
    return out;
}

// Block search gives the literal pass's assignment and counters, with the candidate blocks found up front
// and with walks when there are too many pairs to keep.
void test_block_search_identity() {
    std::mt19937_64 rng(9);
    const AnchorTable table = random_table(rng, 1500, 9);
    for (const std::vector<std::size_t>& positions :
         {std::vector<std::size_t>{1, 8}, {0, 2, 4, 6, 8}, {0, 1, 2, 3, 5, 6, 7, 8}}) {
        const SimTables t = make_sim_tables(table.anchor_len, positions, 2.0);
        for (double threshold : {0.5, 0.8}) {
            for (std::int64_t max_probes : {0, 1, 4}) {
                const double cut = threshold - 0.1;
                const GreedyResult expected = literal_block_search(t, table, threshold, cut, max_probes);
                for (std::size_t pair_limit : {std::size_t{0}, std::size_t{1}}) {
                    GreedyOptions options;
                    options.threshold = threshold;
                    options.obg_block_search = true;
                    options.obg_max_probes = max_probes;
                    options.effective_cut = cut;
                    options.pair_limit = pair_limit;
                    const GreedyResult got = greedy_cluster(t, table.residues.data(), table.size(), options);
                    CHECK(got.assignment == expected.assignment);
                    CHECK(got.n_comparisons == expected.n_comparisons && got.n_early_exits == expected.n_early_exits);
                }
            }
        }
    }
}

void test_refine_identity() {
    std::mt19937_64 rng(11);
    const AnchorTable table = random_table(rng, 1500, 8);
    const SimTables tables = make_sim_tables(table.anchor_len, {1, 8}, 2.0);
    GreedyOptions greedy;
    greedy.threshold = 0.6;
    const GreedyResult initial = greedy_cluster(tables, table.residues.data(), table.size(), greedy);
    for (bool fast : {false, true}) {
        const RefineOptions options{0.6, 4, 8, true, fast, 0};
        std::vector<std::size_t> expected = initial.assignment;
        const RefineStats want = refine_passes(table, tables, expected, options, nullptr);
        for (std::size_t workers : {2, 5}) {
            Pool pool(workers);
            std::vector<std::size_t> got = initial.assignment;
            const RefineStats stats = refine_passes(table, tables, got, options, &pool);
            CHECK(got == expected);
            CHECK(stats.passes == want.passes && stats.reassignments == want.reassignments &&
                  stats.medoid_changes == want.medoid_changes && stats.merges == want.merges &&
                  stats.final_clusters == want.final_clusters);
        }
    }
}

}  // namespace

int main() {
    test_thread_count_parsing();
    test_pool_size();
    test_parallel_map();
    test_search_matches_literal_loops();
    test_greedy_identity();
    test_greedy_stops_and_runs_beside_once();
    test_join_matches_walks();
    test_block_search_identity();
    test_refine_identity();
    std::printf("%s\n", failures == 0 ? "core tests passed" : "core tests FAILED");
    return failures == 0 ? 0 : 1;
}
