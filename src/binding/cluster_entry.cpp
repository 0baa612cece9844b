#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <optional>

#include "anchors/radix_sort.hpp"
#include "anchors/sim_tables.hpp"
#include "binding/anchor_counts.hpp"
#include "binding/entries.hpp"
#include "cluster/greedy.hpp"
#include "parallel/pool.hpp"

namespace kelvara::py {

namespace {

// How many steps ahead loops over objects or rows in another order than their own fetch them. Where
// finding an object takes a read in another large array first, that read is fetched twice as far ahead.
constexpr std::size_t kAhead = 16;

const Signature kSignature{"cluster_anchors",
                           {"anchor_counts", "threshold", "anchor_positions", "anchor_weight", "obg_block_search",
                            "obg_max_probes", "obg_min_block_upper_bound", "threads"},
                           2};
const Signature kProgressSignature{
    "_cluster_anchors",
    {"anchor_counts", "threshold", "anchor_positions", "anchor_weight", "obg_block_search", "obg_max_probes",
     "obg_min_block_upper_bound", "threads", "progress"},
    2};

PyObject* run(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const auto a = bind_arguments(signature, args, kwargs);
    auto given = [&](std::size_t i) { return a[i] != nullptr; };

    PyObject* anchor_counts = convert_argument("anchor_counts", [&] { return as_dict(a[0]); });
    const double threshold = convert_argument("threshold", [&] { return as_double(a[1]); });
    const std::vector<std::uint64_t> positions =
        given(2) ? convert_argument("anchor_positions", [&] { return as_positions(a[2]); })
                 : std::vector<std::uint64_t>{1, 5};
    const double anchor_weight = given(3) ? convert_argument("anchor_weight", [&] { return as_double(a[3]); }) : 2.0;
    const bool block_search = given(4) && convert_argument("obg_block_search", [&] { return as_bool(a[4]); });
    const std::int64_t max_probes = given(5) ? convert_argument("obg_max_probes", [&] { return as_i64(a[5]); }) : 0;
    const double min_bound =
        given(6) ? convert_argument("obg_min_block_upper_bound", [&] { return as_double(a[6]); }) : 0.0;
    const std::int64_t threads = given(7) ? convert_argument("threads", [&] { return as_i64(a[7]); }) : 1;

    std::vector<Ref> keys;
    AnchorTable table = parse_anchor_counts(anchor_counts, &keys);
    const std::size_t n = table.size();
    if (n == 0) return new_tuple(Ref::check(PyDict_New()), new_int(0), new_int(0)).release();

    const SimTables tables =
        make_sim_tables(table.anchor_len, check_positions(positions, table.anchor_len), anchor_weight);

    GreedyOptions options;
    options.threshold = threshold;
    options.obg_block_search = block_search;
    options.obg_max_probes = max_probes;
    options.effective_cut = effective_cut(threshold, min_bound);
    // The environment is read while the lock is held; the workers start after it is released.
    options.workers = (threads == 1 || block_search) ? 0 : pool_size(threads);
    // The mapping's keys do not depend on the clustering, so with workers they are made while the workers
    // cluster. The caller's own str objects serve where they are plain str (`keys` holds them): nothing to
    // allocate, and their hashes are known already. They lie in the caller's order, not in processing
    // order, so every loop over them fetches those a few steps ahead.
    std::vector<PyObject*> texts(n);
    std::vector<Ref> made;  // strs for keys of str subclasses
    auto text_at = [&](const std::vector<std::size_t>& order, std::size_t k) {
        PyObject* key = keys[order[k]].get();
        if (PyUnicode_CheckExact(key)) return key;
        made.push_back(new_str(table.anchors[order[k]]));
        return made.back().get();
    };
    // Only the strs made for keys of str subclasses need the texts; at millions of anchors they are a good
    // share of the peak, so they go before the pass when no key needs them, else once the strs are made.
    auto drop_texts = [&] { std::vector<std::string>().swap(table.anchors); };
    if (std::all_of(keys.begin(), keys.end(), [](const Ref& key) { return PyUnicode_CheckExact(key.get()); }))
        drop_texts();
    std::optional<BulkDict> mapping;
    auto make_keys = [&](const std::vector<std::size_t>& order) {
        mapping.emplace();
        for (std::size_t k = 0; k < n; ++k) {
            if (k + 2 * kAhead < n) __builtin_prefetch(&keys[order[k + 2 * kAhead]]);
            if (k + kAhead < n) __builtin_prefetch(keys[order[k + kAhead]].get(), 1);
            texts[k] = text_at(order, k);
            if (PyDict_SetItem(mapping->get(), texts[k], texts[k]) < 0) throw ErrorSet{};
        }
        drop_texts();
    };
    // Without workers nothing runs beside the pass, and the mapping is made in one go once it is known.
    const bool pooled = options.workers > 0 && n >= options.serial_below;
    const auto [order, result] = cluster_in_order(table, tables, options, a.size() > 8 ? a[8] : nullptr,
                                                  pooled ? make_keys : std::function<void(const std::vector<std::size_t>&)>{});
    const std::vector<std::size_t>& centroid = result.assignment;
    if (mapping) {
        // Only keys not their own centroid need a new value, unless equal texts share a key, where the last
        // insertion must win.
        const bool shared_keys = mapping->size() != n;
        for (std::size_t k = 0; k < n; ++k) {
            if (k + 2 * kAhead < n) __builtin_prefetch(&texts[centroid[k + 2 * kAhead]]);
            if (k + kAhead < n && (shared_keys || centroid[k + kAhead] != k + kAhead)) {
                __builtin_prefetch(texts[k + kAhead]);
                __builtin_prefetch(texts[centroid[k + kAhead]], 1);
            }
            if ((shared_keys || centroid[k] != k) && PyDict_SetItem(mapping->get(), texts[k], texts[centroid[k]]) < 0)
                throw ErrorSet{};
        }
    } else {
        mapping.emplace();
        for (std::size_t k = 0; k < n; ++k) {
            if (k + 2 * kAhead < n) {
                __builtin_prefetch(&keys[order[k + 2 * kAhead]]);
                __builtin_prefetch(&texts[centroid[k + 2 * kAhead]]);
            }
            if (k + kAhead < n) {
                __builtin_prefetch(keys[order[k + kAhead]].get(), 1);
                // A centroid's str is in texts by the time its member is; one only kAhead on may not be
                // yet, and a prefetch of a null address does nothing.
                __builtin_prefetch(texts[centroid[k + kAhead]], 1);
            }
            // A centroid comes before its members, so its str is made by now.
            texts[k] = text_at(order, k);
            if (PyDict_SetItem(mapping->get(), texts[k], texts[centroid[k]]) < 0) throw ErrorSet{};
        }
        drop_texts();
    }
    return new_tuple(mapping->finish(), new_int(result.n_comparisons), new_int(result.n_early_exits)).release();
}

}  // namespace

double effective_cut(double threshold, double min_bound) {
    if (std::isnan(threshold)) return min_bound;
    if (std::isnan(min_bound)) return threshold;
    return std::max(threshold, min_bound);
}

ClusteredTable cluster_in_order(const AnchorTable& table, const SimTables& tables, GreedyOptions options,
                                PyObject* progress,
                                const std::function<void(const std::vector<std::size_t>&)>& beside) {
    const std::size_t n = table.size(), len = table.anchor_len;
    ClusteredTable out;
    out.order = processing_order(table.counts);
    std::vector<std::uint8_t> residues(n * len);
    // The rows lie anywhere in the table: those a few steps on are fetched ahead.
    for (std::size_t k = 0; k < n; ++k) {
        if (k + kAhead < n) __builtin_prefetch(table.row(out.order[k + kAhead]));
        std::copy_n(table.row(out.order[k]), len, residues.begin() + k * len);
    }

    CallHook hook{progress};
    Monitor monitor(std::ref(hook));
    options.monitor = &monitor;
    bool beside_done = !beside;
    {
        AllowThreads unlocked;
        hook.unlocked = &unlocked;
        if (!beside_done) {
            options.beside = [&] {
                unlocked.locked([&] { beside(out.order); });
                beside_done = true;
            };
        }
        out.result = greedy_cluster(tables, residues.data(), n, options);
    }
    if (!beside_done) beside(out.order);
    return out;
}

PyObject* cluster_anchors(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run(kSignature, args, kwargs); });
}

PyObject* cluster_anchors_progress(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run(kProgressSignature, args, kwargs); });
}

}  // namespace kelvara::py
