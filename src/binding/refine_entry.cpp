#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "anchors/sim_tables.hpp"
#include "binding/anchor_counts.hpp"
#include "binding/entries.hpp"
#include "parallel/pool.hpp"
#include "refine/refine.hpp"

namespace kelvara::py {

namespace {

const Signature kSignature{"refine_clusters",
                           {"anchor_counts", "mapping", "threshold", "iterations", "cap", "merge", "anchor_positions",
                            "anchor_weight", "fast_medoid", "merge_cap", "threads"},
                           4};
const Signature kProgressSignature{
    "_refine_clusters",
    {"anchor_counts", "mapping", "threshold", "iterations", "cap", "merge", "anchor_positions", "anchor_weight",
     "fast_medoid", "merge_cap", "threads", "progress"},
    4};

Ref stats_dict(const RefineStats& s) {
    const std::pair<const char*, std::uint64_t> entries[] = {
        {"passes", s.passes}, {"medoid_changes", s.medoid_changes},     {"reassignments", s.reassignments},
        {"merges", s.merges}, {"initial_clusters", s.initial_clusters}, {"final_clusters", s.final_clusters}};
    Ref dict = Ref::check(PyDict_New());
    for (const auto& [key, value] : entries) {
        Ref number = new_int(value);
        if (PyDict_SetItemString(dict.get(), key, number.get()) < 0) throw ErrorSet{};
    }
    return dict;
}

// Each entry counts only when both its key and its value are anchors; chains are not followed.
std::vector<std::size_t> read_mapping(PyObject* mapping, const AnchorTable& table) {
    std::unordered_map<std::string_view, std::size_t> lookup;
    lookup.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) lookup.emplace(table.anchors[i], i);

    std::vector<std::size_t> assignment(table.size());
    for (std::size_t i = 0; i < assignment.size(); ++i) assignment[i] = i;
    walk_dict(mapping, [&](PyObject* key, PyObject* value) {
        const auto a = lookup.find(as_utf8(key));
        // Most anchors are their own centroid, and a mapping from cluster_anchors holds one str for both.
        if (value == key) {
            if (a != lookup.end()) assignment[a->second] = a->second;
            return;
        }
        const auto c = lookup.find(as_utf8(value));
        if (a != lookup.end() && c != lookup.end()) assignment[a->second] = c->second;
    });
    return assignment;
}

PyObject* run(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const auto a = bind_arguments(signature, args, kwargs);
    auto given = [&](std::size_t i) { return a[i] != nullptr; };

    PyObject* anchor_counts = convert_argument("anchor_counts", [&] { return as_dict(a[0]); });
    PyObject* mapping = convert_argument("mapping", [&] { return as_dict(a[1]); });
    RefineOptions options{};
    options.threshold = convert_argument("threshold", [&] { return as_double(a[2]); });
    options.iterations = convert_argument("iterations", [&] { return as_u64(a[3]); });
    options.cap = given(4) ? convert_argument("cap", [&] { return as_i64(a[4]); }) : 32;
    options.merge = !given(5) || convert_argument("merge", [&] { return as_bool(a[5]); });
    const std::vector<std::uint64_t> positions =
        given(6) ? convert_argument("anchor_positions", [&] { return as_positions(a[6]); })
                 : std::vector<std::uint64_t>{1, 5};
    const double anchor_weight = given(7) ? convert_argument("anchor_weight", [&] { return as_double(a[7]); }) : 2.0;
    options.fast_medoid = given(8) && convert_argument("fast_medoid", [&] { return as_bool(a[8]); });
    options.merge_cap = given(9) ? convert_argument("merge_cap", [&] { return as_i64(a[9]); }) : 0;
    const std::int64_t threads = given(10) ? convert_argument("threads", [&] { return as_i64(a[10]); }) : 1;

    const AnchorTable table = parse_anchor_counts(anchor_counts);
    if (table.size() == 0) return new_tuple(Ref::check(PyDict_New()), stats_dict(RefineStats{})).release();

    const SimTables tables =
        make_sim_tables(table.anchor_len, check_positions(positions, table.anchor_len), anchor_weight);
    std::unique_ptr<Pool> pool;
    if (threads != 1) pool = std::make_unique<Pool>(pool_size(threads));

    std::vector<std::size_t> assignment = read_mapping(mapping, table);
    // The interpreter lock stays held, so the hook runs Python directly.
    CallHook hook{a.size() > 11 ? a[11] : nullptr};
    Monitor monitor(std::ref(hook));
    options.monitor = &monitor;
    const RefineStats stats = refine_passes(table, tables, assignment, options, pool.get());
    pool.reset();

    Ref refined = mapping_dict(assignment, [&](std::size_t i) -> const std::string& { return table.anchors[i]; });
    return new_tuple(std::move(refined), stats_dict(stats)).release();
}

}  // namespace

PyObject* refine_clusters(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run(kSignature, args, kwargs); });
}

PyObject* refine_clusters_progress(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run(kProgressSignature, args, kwargs); });
}

}  // namespace kelvara::py
