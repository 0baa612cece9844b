#include <cstring>
#include "anchors/anchor_table.hpp"
#include "anchors/sim_tables.hpp"

#include "binding/entries.hpp"
#include "search/centroid_set.hpp"
#include "search/kernels.hpp"

namespace kelvara::py {

namespace {

const Signature kSignature{"_block_keys", {"anchors", "anchor_positions"}, 2};

// The block key of every anchor of a sequence of str, as native-endian unsigned 64-bit integers packed
// into one bytes object. Anchors and positions are checked as cluster_anchors checks them.
PyObject* run(PyObject* args, PyObject* kwargs) {
    const auto a = bind_arguments(kSignature, args, kwargs);
    PyObject* sequence = a[0];
    const std::vector<std::uint64_t> positions =
        convert_argument("anchor_positions", [&] { return as_positions(a[1]); });

    std::vector<std::string> anchors;
    const Py_ssize_t hint = PySequence_Check(sequence) ? PySequence_Size(sequence) : -1;
    if (hint < 0) {
        PyErr_Clear();
    } else {
        anchors.reserve(static_cast<std::size_t>(hint));
    }
    Ref iter = convert_argument("anchors", [&] { return Ref::check(PyObject_GetIter(sequence)); });
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) anchors.push_back(as_utf8(item.get()));
    if (PyErr_Occurred()) throw ErrorSet{};

    const std::size_t n = anchors.size();
    const AnchorTable table = build_anchor_table(std::move(anchors), std::vector<std::uint64_t>(n, 0));
    if (n == 0) return PyBytes_FromStringAndSize(nullptr, 0);
    const SimTables tables = make_sim_tables(table.anchor_len, check_positions(positions, table.anchor_len), 1.0);

    Ref out = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(std::uint64_t))));
    char* bytes = PyBytes_AsString(out.get());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = block_key(tables, table.row(i));
        std::memcpy(bytes + i * sizeof key, &key, sizeof key);
    }
    return out.release();
}

}  // namespace

PyObject* block_keys(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run(args, kwargs); });
}

PyObject* simd_level(PyObject*, PyObject* args) {
    return guarded([&] {
        const char* name = nullptr;
        if (!PyArg_ParseTuple(args, "|z:_simd", &name)) throw ErrorSet{};
        const char* active = name != nullptr ? search::use_level(name) : search::kernels().name;
        const search::Kernels* levels[3];
        const std::size_t n = search::available_levels(levels, 3);
        Ref available = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t i = 0; i < n; ++i)
            PyTuple_SetItem(available.get(), static_cast<Py_ssize_t>(i), new_str(levels[i]->name).release());
        return new_tuple(new_str(active), std::move(available)).release();
    });
}

PyObject* word_index_from(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* from = Py_None;
        if (!PyArg_ParseTuple(args, "|O:_word_index", &from)) throw ErrorSet{};
        if (from != Py_None) search::set_words_from(static_cast<std::size_t>(as_u64(from)));
        return new_int(search::words_from()).release();
    });
}

}  // namespace kelvara::py
