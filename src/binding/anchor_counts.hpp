#pragma once

#include "anchors/anchor_table.hpp"
#include "binding/py.hpp"

namespace kelvara::py {

// Reads {anchor: count} in dict order: every conversion first, then the length checks. `keys`, when given,
// receives the dict's keys in table order.
AnchorTable parse_anchor_counts(PyObject* dict, std::vector<Ref>* keys = nullptr);

// Calls visit(key, value) for each entry of `dict` in its order, holding references to both, and fails
// when the dict changes size or yields more entries than it had when the walk began.
template <class F>
void walk_dict(PyObject* dict, F&& visit);

}  // namespace kelvara::py

#include "anchors/errors.hpp"

template <class F>
void kelvara::py::walk_dict(PyObject* dict, F&& visit) {
    const Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t pos = 0, produced = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
        if (PyDict_Size(dict) != size) throw InternalFailure("dictionary changed size during iteration");
        if (produced > size) throw InternalFailure("dictionary keys changed during iteration");
        if (!PyDict_Next(dict, &pos, &key, &value)) return;
        ++produced;
        // A count's __index__ can run arbitrary code, so the walk must own what it converts.
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        visit(k.get(), v.get());
    }
}
