#pragma once

#include "anchors/anchor_table.hpp"
#include "anchors/sim_tables.hpp"
#include "binding/py.hpp"
#include "cluster/greedy.hpp"
#include "parallel/monitor.hpp"
#include "refine/refine.hpp"

namespace kelvara::py {

// The module's InternalError class, created once at import.
extern PyObject* internal_error;

// The module functions; each returns a new reference or NULL with an exception set.
PyObject* cluster_anchors(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* refine_clusters(PyObject* self, PyObject* args, PyObject* kwargs);

// Private entries for the package: the same calls with a trailing `progress` parameter, and the block keys
// of a list of anchors.
PyObject* cluster_anchors_progress(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* refine_clusters_progress(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* block_keys(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* simd_level(PyObject* self, PyObject* args);
PyObject* word_index_from(PyObject* self, PyObject* args);

// Private entries for kelvara.dask: cluster_anchors and the block keys on anchors packed in one bytes object.
PyObject* cluster_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* block_keys_table(PyObject* self, PyObject* args, PyObject* kwargs);

// cluster_anchors' clustering of a table: the anchors in processing order (most frequent first, equal
// counts in table order) and the greedy pass over them, run without the interpreter lock and looking for
// signals and reporting to `progress` (None or nullptr for none) as it goes. `beside`, when given, is
// called once with the processing order and the lock held: while the workers cluster if the pass has
// room for it, after the pass otherwise.
struct ClusteredTable {
    std::vector<std::size_t> order;  // processing order: position k holds a table index
    GreedyResult result;             // indices are positions in `order`
};
ClusteredTable cluster_in_order(const AnchorTable& table, const SimTables& tables, GreedyOptions options,
                                PyObject* progress,
                                const std::function<void(const std::vector<std::size_t>&)>& beside = {});

// The statistics of a refinement as refine_clusters returns them.
Ref stats_dict(const RefineStats& stats);

// max() of the two that ignores a NaN operand.
double effective_cut(double threshold, double min_bound);

// The monitor hook of a call: looks for pending signals and calls `progress(stage, pass, done, total)`
// when one was given. It runs on the calling thread; with `unlocked` set it re-takes the interpreter lock
// for the time it needs it. Returns false, with the Python exception set, to stop the call.
struct CallHook {
    PyObject* progress = nullptr;  // borrowed; None or nullptr for none
    AllowThreads* unlocked = nullptr;

    bool operator()(const Monitor::Report& r) const;
};

// Runs an entry body and maps every C++ failure to a Python exception, so none crosses the boundary.
template <class F>
PyObject* guarded(F&& body) noexcept;

}  // namespace kelvara::py

#include <new>

#include "anchors/errors.hpp"

template <class F>
PyObject* kelvara::py::guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const ErrorSet&) {
    } catch (const Stopped&) {
        // The hook that asked to stop has set the exception.
        if (!PyErr_Occurred()) PyErr_SetString(internal_error, "the call was stopped");
    } catch (const InputError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const InternalFailure& e) {
        PyErr_SetString(internal_error, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(internal_error, e.what());
    } catch (...) {
        PyErr_SetString(internal_error, "unknown internal failure");
    }
    return nullptr;
}
