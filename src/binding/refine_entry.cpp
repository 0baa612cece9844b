#include <functional>
#include <memory>

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

// Anchors by their str, found through the hashes str objects keep (dict keys have theirs already), so no
// text is converted or hashed again; equal hashes are confirmed by comparing the texts.
class AnchorLookup {
public:
    explicit AnchorLookup(const std::vector<Ref>& keys) : keys_(keys) {
        std::size_t capacity = 16;
        while (capacity < 2 * keys_.size()) capacity *= 2;
        slots_.assign(capacity, {0, kEmpty});
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            const Py_hash_t h = hash_of(keys_[i].get());
            std::size_t at = static_cast<std::size_t>(h) & (capacity - 1);
            while (slots_[at].index != kEmpty) at = (at + 1) & (capacity - 1);
            slots_[at] = {h, static_cast<std::uint32_t>(i)};
        }
    }

    // The anchor index of `obj`, or SIZE_MAX; raises as the text conversion would for what is not an anchor.
    std::size_t find(PyObject* obj) const {
        if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
        const Py_hash_t h = hash_of(obj);
        for (std::size_t at = static_cast<std::size_t>(h) & (slots_.size() - 1); slots_[at].index != kEmpty;
             at = (at + 1) & (slots_.size() - 1)) {
            if (slots_[at].hash != h) continue;
            PyObject* key = keys_[slots_[at].index].get();
            if (key == obj) return slots_[at].index;
            const int order = PyUnicode_Compare(key, obj);
            if (order == -1 && PyErr_Occurred()) throw ErrorSet{};
            if (order == 0) return slots_[at].index;
        }
        as_utf8(obj);
        return SIZE_MAX;
    }

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    struct Slot {
        Py_hash_t hash;
        std::uint32_t index;
    };

    // A str subclass may hash differently: its text is hashed as a plain str instead.
    static Py_hash_t hash_of(PyObject* str) {
        Ref plain = PyUnicode_CheckExact(str) ? Ref::borrow(str) : new_str(as_utf8(str));
        const Py_hash_t h = PyObject_Hash(plain.get());
        if (h == -1) throw ErrorSet{};
        return h;
    }

    const std::vector<Ref>& keys_;
    std::vector<Slot> slots_;
};

// Each entry counts only when both its key and its value are anchors; chains are not followed.
std::vector<std::size_t> read_mapping(PyObject* mapping, const AnchorLookup& lookup, std::size_t n) {
    std::vector<std::size_t> assignment(n);
    for (std::size_t i = 0; i < n; ++i) assignment[i] = i;
    walk_dict(mapping, [&](PyObject* key, PyObject* value) {
        const std::size_t a = lookup.find(key);
        // Most anchors are their own centroid, and a mapping from cluster_anchors holds one str for both.
        if (value == key) return;
        const std::size_t c = lookup.find(value);
        if (a != SIZE_MAX && c != SIZE_MAX) assignment[a] = c;
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

    std::vector<Ref> keys;
    const AnchorTable table = parse_anchor_counts(anchor_counts, &keys);
    if (table.size() == 0) return new_tuple(Ref::check(PyDict_New()), stats_dict(RefineStats{})).release();

    const SimTables tables =
        make_sim_tables(table.anchor_len, check_positions(positions, table.anchor_len), anchor_weight);
    std::unique_ptr<Pool> pool;
    if (threads != 1) pool = std::make_unique<Pool>(pool_size(threads));

    std::vector<std::size_t> assignment = read_mapping(mapping, AnchorLookup(keys), table.size());
    // The interpreter lock stays held, so the hook runs Python directly.
    CallHook hook{a.size() > 11 ? a[11] : nullptr};
    Monitor monitor(std::ref(hook));
    options.monitor = &monitor;
    const RefineStats stats = refine_passes(table, tables, assignment, options, pool.get());
    pool.reset();

    // The anchors' own strs serve as keys and values where they are plain strs, which nothing can change;
    // a subclass, which might hash or compare its own way, is given as a new str of its text.
    std::vector<Ref> strs(table.size());
    for (std::size_t i = 0; i < strs.size(); ++i)
        strs[i] = PyUnicode_CheckExact(keys[i].get()) ? Ref::borrow(keys[i].get()) : new_str(table.anchors[i]);
    keys.clear();
    Ref refined = mapping_of_strs(assignment, strs);
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
