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
    // A second cursor some entries ahead asks for their objects early, so that their misses overlap. It
    // only prefetches: should a conversion change the dict, what it saw is never read.
    constexpr int kAhead = 16;
    Py_ssize_t ahead = 0;
    PyObject* next_key = nullptr;
    PyObject* next_value = nullptr;
    auto fetch_ahead = [&] {
        if (!PyDict_Next(dict, &ahead, &next_key, &next_value)) return;
        __builtin_prefetch(next_key);
        __builtin_prefetch(next_value);
    };
    for (int i = 0; i < kAhead; ++i) fetch_ahead();
    for (;;) {
        if (PyDict_Size(dict) != size) throw InternalFailure("dictionary changed size during iteration");
        if (produced > size) throw InternalFailure("dictionary keys changed during iteration");
        if (!PyDict_Next(dict, &pos, &key, &value)) return;
        fetch_ahead();
        ++produced;
        // A count's __index__ can run arbitrary code, so the walk must own what it converts.
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        visit(k.get(), v.get());
    }
}
