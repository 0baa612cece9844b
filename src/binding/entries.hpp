#pragma once

#include "binding/py.hpp"

namespace kelvara::py {

// The module's InternalError class, created once at import.
extern PyObject* internal_error;

// The module functions; each returns a new reference or NULL with an exception set.
PyObject* cluster_anchors(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* refine_clusters(PyObject* self, PyObject* args, PyObject* kwargs);

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
