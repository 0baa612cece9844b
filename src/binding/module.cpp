#include "binding/arrow_entry.hpp"
#include "binding/entries.hpp"
#include "binding/peptides_object.hpp"
#include "search/kernels.hpp"

namespace kelvara::py {

PyObject* internal_error = nullptr;

namespace {

constexpr const char* kClusterDoc =
    R"(cluster_anchors(anchor_counts, threshold, anchor_positions=..., anchor_weight=2.0, obg_block_search=False, obg_max_probes=0, obg_min_block_upper_bound=0.0, threads=1)
--

Greedy centroid clustering of unique anchors.

Args:
    anchor_counts:    dict[str, int] — unique anchors → peptide frequency
    threshold:        float — minimum similarity to join a cluster
    anchor_positions: list[int] — 0-based positions within the anchor that
                      are binding anchors (weighted up + used for blocking)
    anchor_weight:    float — weight of anchor positions (others are 1.0)
    obg_block_search: bool — search neighbouring blocks whose upper bound is
                      at least the threshold, not just the anchor's own block
    obg_max_probes:   int — max blocks searched per anchor (incl. own block);
                      <= 0 means unlimited
    obg_min_block_upper_bound: float — only search blocks whose upper bound
                      is at least this (the effective cut is
                      max(threshold, this))
    threads:          int — worker threads for the greedy pass. 1 = serial
                      (default), 0 = all cores, N = exactly N. Bit-identical
                      to serial. Ignored when obg_block_search is on.

Returns:
    (mapping, n_comparisons, n_early_exits))";

constexpr const char* kRefineDoc =
    R"(refine_clusters(anchor_counts, mapping, threshold, iterations, cap=32, merge=True, anchor_positions=..., anchor_weight=2.0, fast_medoid=False, merge_cap=0, threads=1)
--

Refinement pass on top of greedy clustering output.

Each pass performs three sub-steps:
  1. Medoid update     — replace each centroid with the member that
                         maximises frequency-weighted mean similarity
                         to the cluster's other members.
  2. Cross-block reassign — for each anchor, find the best centroid above
                         `threshold` across its own block plus neighbouring
                         blocks (blocks agreeing on at least one anchor
                         position). Bounded by `cap` comparisons per anchor.
  3. Centroid merge    — if two centroids satisfy sim >= threshold, absorb
                         the smaller cluster into the larger. Skipped when
                         `merge` is false.

Stops early when no change occurs in a pass.

Args:
    anchor_counts:    dict[str, int]  — unique anchor → frequency
    mapping:          dict[str, str]  — unique anchor → centroid
    threshold:        float           — same as initial clustering
    iterations:       int             — max passes
    cap:              int             — max centroid comparisons per anchor
                                        in reassignment. <= 0 means no cap.
    merge:            bool            — run the centroid-merge sub-step
    anchor_positions: list[int]       — 0-based anchor positions
    anchor_weight:    float           — weight of anchor positions
    fast_medoid:      bool            — use the O(N) per-position medoid
                                        decomposition instead of the exact
                                        O(k^2) all-pairs medoid
    merge_cap:        int             — max candidate centroids examined per
                                        centroid in the merge step (own-block
                                        first, largest first). <= 0 = no cap.
    threads:          int             — worker threads for the medoid and
                                        reassignment steps. 1 = serial
                                        (default), 0 = all cores, N = exactly
                                        N. Bit-identical to serial.

Returns:
    (refined_mapping, stats_dict))";

PyMethodDef cluster_def = {"cluster_anchors",
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cluster_anchors)),
                           METH_VARARGS | METH_KEYWORDS, kClusterDoc};
PyMethodDef refine_def = {"refine_clusters",
                          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refine_clusters)),
                          METH_VARARGS | METH_KEYWORDS, kRefineDoc};

// Private entries: module attributes, but not part of __all__.
PyMethodDef private_defs[] = {
    {"_cluster_anchors", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cluster_anchors_progress)),
     METH_VARARGS | METH_KEYWORDS, "cluster_anchors with a trailing progress(stage, pass, done, total) callable."},
    {"_refine_clusters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refine_clusters_progress)),
     METH_VARARGS | METH_KEYWORDS, "refine_clusters with a trailing progress(stage, pass, done, total) callable."},
    {"_block_keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(block_keys)),
     METH_VARARGS | METH_KEYWORDS, "Block keys of a sequence of anchors, as native-endian uint64 in one bytes object."},
    {"_cluster_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cluster_table)),
     METH_VARARGS | METH_KEYWORDS,
     "_cluster_table(anchors, anchor_len, counts, threshold, anchor_positions=[1, 5], anchor_weight=2.0) -> "
     "(centroid_rows, n_comparisons, n_early_exits). cluster_anchors on n anchors of anchor_len bytes packed in one "
     "bytes object, in the order that stands for the dict's, with their counts as n native-endian uint64; "
     "centroid_rows gives each anchor's centroid as its row, packed the same way."},
    {"_block_keys_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(block_keys_table)),
     METH_VARARGS | METH_KEYWORDS,
     "_block_keys_table(anchors, anchor_len, anchor_positions) -> the block keys of anchors packed as for "
     "_cluster_table, as native-endian uint64 in one bytes object."},
    {"_read_reference_table", read_reference_entry, METH_VARARGS,
     "_read_reference_table(data, separator, header_fields, peptide, centroid, cluster) -> (clusters, {length: "
     "(centroids end to end, their numbers as native-endian uint64)}), or (line, message) of a contradiction."},
    {"_table_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "_table_stream(table, requested_schema=None) -> an 'arrow_array_stream' capsule of a table _Peptides.result() "
     "made, in the requested schema's types where they hold the same values."},
    {"_simd", simd_level, METH_VARARGS,
     "_simd(level=None) -> (level in use, levels available). With a level name, switches to it first; a level "
     "the processor lacks falls back to the best it has."},
    {"_word_index", word_index_from, METH_VARARGS,
     "_word_index(size=None) -> the centroid count from which on greedy searches go through the centroids' words. "
     "With a size, sets it first (0: every search)."},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", "Python module definition", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Appends the name to __all__ (created when absent), then sets the attribute.
bool add_function(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, name.get()));
    if (!function) return false;
    Ref all_name = Ref::steal(PyUnicode_FromString("__all__"));
    if (!all_name) return false;
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
    }
    Ref fname = Ref::steal(PyUnicode_FromString(def->ml_name));
    if (!fname || PyList_Append(all.get(), fname.get()) < 0) return false;
    return PyObject_SetAttr(module, fname.get(), function.get()) == 0;
}

bool add_private(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, name.get()));
    return function && PyObject_SetAttrString(module, def->ml_name, function.get()) == 0;
}

bool initialised = false;

}  // namespace

}  // namespace kelvara::py

PyMODINIT_FUNC PyInit__core() {
    using namespace kelvara::py;
    // The kernels are chosen once, at import.
    kelvara::search::kernels();
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "kelvara._core can be initialised only once per process");
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!add_function(module.get(), &cluster_def) || !add_function(module.get(), &refine_def)) return nullptr;
    for (PyMethodDef& def : private_defs)
        if (!add_private(module.get(), &def)) return nullptr;
    if (internal_error == nullptr) {
        internal_error = PyErr_NewExceptionWithDoc(
            "kelvara._core.InternalError",
            "A failure inside kelvara that the caller cannot fix, such as a worker pool that cannot start.",
            PyExc_BaseException, nullptr);
        if (internal_error == nullptr) return nullptr;
    }
    if (PyObject_SetAttrString(module.get(), "InternalError", internal_error) < 0) return nullptr;
    if (!add_peptides_type(module.get())) return nullptr;
    initialised = true;
    return module.release();
}
