#include "binding/entries.hpp"

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

PyMethodDef cluster_def = {"cluster_anchors", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cluster_anchors)),
                           METH_VARARGS | METH_KEYWORDS, kClusterDoc};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_core", "Python module definition", 0, nullptr,
                          nullptr,               nullptr, nullptr,                    nullptr};

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

bool initialised = false;

}  // namespace

}  // namespace kelvara::py

PyMODINIT_FUNC PyInit__core() {
    using namespace kelvara::py;
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "kelvara._core can be initialised only once per process");
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!add_function(module.get(), &cluster_def)) return nullptr;
    if (internal_error == nullptr) {
        internal_error = PyErr_NewExceptionWithDoc(
            "kelvara._core.InternalError",
            "A failure inside kelvara that the caller cannot fix, such as a worker pool that cannot start.",
            PyExc_BaseException, nullptr);
        if (internal_error == nullptr) return nullptr;
    }
    if (PyObject_SetAttrString(module.get(), "InternalError", internal_error) < 0) return nullptr;
    initialised = true;
    return module.release();
}
