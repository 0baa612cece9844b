#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "anchors/sim_tables.hpp"
#include "binding/anchor_counts.hpp"
#include "binding/entries.hpp"
#include "parallel/pool.hpp"
#include "refine/reassign.hpp"
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


// Up to kInline characters of a str, when they are all ASCII.
struct ShortText {
    static constexpr std::size_t kInline = 19;
    std::uint8_t len = 0;
    bool ascii = false;  // false: longer, or not ASCII; then it equals no text held inline
    char text[kInline];

    explicit ShortText(PyObject* str) {
        const Py_ssize_t n = short_ascii(str, text, kInline);
        ascii = n >= 0;
        len = ascii ? static_cast<std::uint8_t>(n) : 0;
    }
};

// Anchors by their str, found through the hashes str objects keep (dict keys have theirs already), so no
// text is converted or hashed again. The table holds only anchor numbers, so it is small and quick to make;
// a match is confirmed against the anchor's text, or its str where that text is not short ASCII.
class AnchorLookup {
public:
    AnchorLookup(const std::vector<Ref>& keys, const std::vector<std::string>& texts)
        : keys_(keys), texts_(texts), hashes_(keys.size()) {
        std::size_t capacity = 16;
        while (capacity < 2 * keys_.size()) capacity *= 2;
        slots_.assign(capacity, 0);
        mask_ = capacity - 1;
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            if (i + kObjectAhead < keys_.size()) __builtin_prefetch(keys_[i + kObjectAhead].get());
            hashes_[i] = hash_of(keys_[i].get());
        }
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            std::size_t at = static_cast<std::size_t>(hashes_[i]) & mask_;
            while (slots_[at] != 0) at = (at + 1) & mask_;
            slots_[at] = static_cast<std::uint32_t>(i + 1);
        }
    }

    // Anchor indices of `objs` in order, SIZE_MAX for what is no anchor; raises at the first object that is
    // not a str, or that is a str without a UTF-8 form and no anchor, as converting it would.
    void find_all(const std::vector<PyObject*>& objs, std::vector<std::size_t>& out) const {
        const std::size_t n = objs.size();
        out.resize(n);
        // The slots of later objects are fetched ahead, and then the anchors those slots name. Only plain
        // strs are hashed ahead: they keep their hash, so that runs no code and cannot fail.
        std::array<Py_hash_t, kRing> hashes;
        auto slot_ahead = [&](std::size_t i) {
            PyObject* obj = objs[i];
            hashes[i % kRing] = PyUnicode_CheckExact(obj) ? PyObject_Hash(obj) : -1;
            if (hashes[i % kRing] != -1)
                __builtin_prefetch(&slots_[static_cast<std::size_t>(hashes[i % kRing]) & mask_]);
        };
        auto anchor_ahead = [&](std::size_t i) {
            if (hashes[i % kRing] == -1) return;
            const std::uint32_t slot = slots_[static_cast<std::size_t>(hashes[i % kRing]) & mask_];
            if (slot == 0) return;
            __builtin_prefetch(&hashes_[slot - 1]);
            __builtin_prefetch(&texts_[slot - 1]);
        };
        for (std::size_t i = 0; i < std::min(kObjectAhead, n); ++i) __builtin_prefetch(objs[i]);
        for (std::size_t i = 0; i < std::min(kSlotAhead, n); ++i) slot_ahead(i);
        for (std::size_t i = 0; i < std::min(kAnchorAhead, n); ++i) anchor_ahead(i);
        for (std::size_t i = 0; i < n; ++i) {
            // The objects themselves first: their type and hash sit in their first line.
            if (i + kObjectAhead < n) __builtin_prefetch(objs[i + kObjectAhead]);
            if (i + kSlotAhead < n) slot_ahead(i + kSlotAhead);
            if (i + kAnchorAhead < n) anchor_ahead(i + kAnchorAhead);
            out[i] = find(objs[i]);
        }
    }

    // The anchor index of `obj`, or SIZE_MAX.
    std::size_t find(PyObject* obj) const {
        if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
        const Py_hash_t h = hash_of(obj);
        std::optional<ShortText> text;
        for (std::size_t at = static_cast<std::size_t>(h) & mask_; slots_[at] != 0; at = (at + 1) & mask_) {
            const std::size_t i = slots_[at] - 1;
            if (hashes_[i] != h) continue;
            const std::string& anchor = texts_[i];
            if (anchor.size() <= ShortText::kInline) {
                if (!text) text.emplace(obj);
                if (text->ascii) {
                    if (std::string_view(text->text, text->len) == anchor) return i;
                    continue;
                }
            }
            PyObject* key = keys_[i].get();
            if (key == obj) return i;
            const int order = PyUnicode_Compare(key, obj);
            if (order == -1 && PyErr_Occurred()) throw ErrorSet{};
            if (order == 0) return i;
        }
        as_utf8(obj);
        return SIZE_MAX;
    }

private:
    static constexpr std::size_t kObjectAhead = 24, kSlotAhead = 12, kAnchorAhead = 6, kRing = 16;

    // A str subclass may hash differently: its text is hashed as a plain str instead.
    static Py_hash_t hash_of(PyObject* str) {
        Ref plain = PyUnicode_CheckExact(str) ? Ref::borrow(str) : new_str(as_utf8(str));
        const Py_hash_t h = PyObject_Hash(plain.get());
        if (h == -1) throw ErrorSet{};
        return h;
    }

    const std::vector<Ref>& keys_;
    const std::vector<std::string>& texts_;
    std::vector<Py_hash_t> hashes_;
    std::vector<std::uint32_t> slots_;  // anchor index + 1, or 0 for an empty slot
    std::size_t mask_ = 0;
};

// Each entry counts only when both its key and its value are anchors; chains are not followed. Reading
// runs no Python code, so the entries stay as they were gathered.
std::vector<std::size_t> read_mapping(PyObject* mapping, const AnchorLookup& lookup, std::size_t n) {
    std::vector<std::size_t> assignment(n);
    for (std::size_t i = 0; i < n; ++i) assignment[i] = i;
    // Keys and values in the order they are converted: a key, then its value unless it is the key's own
    // str (most anchors are their own centroid, and a mapping from cluster_anchors holds one str for both).
    std::vector<PyObject*> objs;
    std::vector<std::uint8_t> paired;  // per entry: 1 when its value follows its key in objs
    objs.reserve(2 * static_cast<std::size_t>(PyDict_Size(mapping)));
    // No code runs until the lookups are done, so borrowed entries stay valid, and a walk that does not
    // touch the objects leaves their misses to the lookups, which fetch them ahead.
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        objs.push_back(key);
        paired.push_back(value != key);
        if (value != key) objs.push_back(value);
    }
    std::vector<std::size_t> found;
    lookup.find_all(objs, found);
    for (std::size_t e = 0, i = 0; e < paired.size(); ++e) {
        const std::size_t a = found[i++];
        if (!paired[e]) continue;
        const std::size_t c = found[i++];
        if (a != SIZE_MAX && c != SIZE_MAX) assignment[a] = c;
    }
    return assignment;
}

// {anchor k: its centroid} for k = 0, 1, ... The anchors' own strs serve as keys and values where they are
// plain strs, which nothing can change; a subclass, which might hash or compare its own way, is given as a
// new str of its text.
Ref refined_mapping(PyObject* anchor_counts, const std::vector<Ref>& keys, const AnchorTable& table,
                    const std::vector<std::size_t>& assignment) {
    const std::size_t n = keys.size();
    // A copy of a plain dict that still holds exactly those strs, in that order, has every key in place:
    // only its values change, with no insertions and no resizing.
    if (PyDict_CheckExact(anchor_counts) && static_cast<std::size_t>(PyDict_Size(anchor_counts)) == n &&
        std::all_of(keys.begin(), keys.end(), [](const Ref& key) { return PyUnicode_CheckExact(key.get()); })) {
        Ref copy = Ref::check(PyDict_Copy(anchor_counts));
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        std::size_t k = 0;
        while (k < n && PyDict_Next(copy.get(), &pos, &key, &value) && key == keys[k].get()) ++k;
        if (k == n && static_cast<std::size_t>(PyDict_Size(copy.get())) == n) {
            // Each setting reads its key's hash and its value's count of references: both asked for ahead.
            constexpr std::size_t kAhead = 16;
            for (k = 0; k < n; ++k) {
                if (k + kAhead < n) {
                    __builtin_prefetch(keys[k + kAhead].get());
                    __builtin_prefetch(keys[assignment[k + kAhead]].get());
                }
                if (PyDict_SetItem(copy.get(), keys[k].get(), keys[assignment[k]].get()) < 0) throw ErrorSet{};
            }
            return copy;
        }
    }
    std::vector<Ref> strs(table.size());
    for (std::size_t i = 0; i < strs.size(); ++i)
        strs[i] = PyUnicode_CheckExact(keys[i].get()) ? Ref::borrow(keys[i].get()) : new_str(table.anchors[i]);
    return mapping_of_strs(assignment, strs);
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

    std::vector<std::size_t> assignment;
    auto read = [&] { assignment = read_mapping(mapping, AnchorLookup(keys, table.anchors), table.size()); };
    std::optional<RefineData> data;
    if (pool != nullptr) {
        // The call's data needs no interpreter: a worker makes it while this thread reads the mapping.
        pool->run(
            1, [&](std::size_t, std::size_t) { data.emplace(table, tables); }, nullptr, read);
    } else {
        read();
        data.emplace(table, tables);
    }
    // The interpreter lock stays held, so the hook runs Python directly.
    CallHook hook{a.size() > 11 ? a[11] : nullptr};
    Monitor monitor(std::ref(hook));
    options.monitor = &monitor;
    const RefineStats stats = refine_passes(*data, assignment, options, pool.get());
    pool.reset();

    Ref refined = refined_mapping(anchor_counts, keys, table, assignment);
    return new_tuple(std::move(refined), stats_dict(stats)).release();
}

}  // namespace

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

PyObject* refine_clusters(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run(kSignature, args, kwargs); });
}

PyObject* refine_clusters_progress(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run(kProgressSignature, args, kwargs); });
}

}  // namespace kelvara::py
