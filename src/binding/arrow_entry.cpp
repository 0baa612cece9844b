// Arrow in and out of the binding: capsules of the PyCapsule interface taken apart for the native
// readers, Python sequences and dicts read by the same rules, and the clustered table handed out as a
// stream capsule. Nothing exported holds a Python object, so a consumer may release it on any thread.
#include "binding/arrow_entry.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/cast.hpp"
#include "arrow/cluster_table.hpp"
#include "arrow/columns.hpp"
#include "arrow/export.hpp"
#include "arrow/peptide_rows.hpp"
#include "binding/anchor_counts.hpp"
#include "binding/entries.hpp"

namespace kelvara::py {

namespace {

using arrow::RowAdder;
using arrow::RowFault;
using arrow::RowFaultKind;

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kTableCapsule = "kelvara._core.table";

std::string utf8_of(PyObject* text) {
    char chars[64];
    const Py_ssize_t n = short_ascii(text, chars, sizeof chars);
    if (n >= 0) return std::string(chars, static_cast<std::size_t>(n));
    // Lone surrogates pass too: they fail the peptide check and are shown as they were.
    Ref bytes = Ref::check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

std::string type_name_of(PyObject* obj) {
    Ref name = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    return PyUnicode_Check(name.get()) ? utf8_of(name.get()) : "?";
}

std::string repr_of(PyObject* obj) {
    Ref text = Ref::check(PyObject_Repr(obj));
    return utf8_of(text.get());
}

const char* fault_name(RowFaultKind kind) {
    switch (kind) {
        case RowFaultKind::null_peptide: return "null_peptide";
        case RowFaultKind::empty_peptide: return "empty_peptide";
        case RowFaultKind::not_peptide: return "not_peptide";
        case RowFaultKind::not_str: return "not_str";
        case RowFaultKind::null_count: return "null_count";
        case RowFaultKind::negative_count: return "negative_count";
        case RowFaultKind::count_not_integer: return "count_not_integer";
        case RowFaultKind::count_too_large: return "count_too_large";
        case RowFaultKind::counts_short: return "counts_short";
        case RowFaultKind::counts_long: return "counts_long";
    }
    return "fault";
}

// (kind, row, text, whole size of the text, type name, in counts)
Ref fault_tuple(const RowFault& f) {
    Ref text = Ref::check(PyBytes_FromStringAndSize(f.text.data(), static_cast<Py_ssize_t>(f.text.size())));
    Ref in_counts = Ref::borrow(f.in_counts ? Py_True : Py_False);
    return new_tuple(new_str(fault_name(f.kind)), new_int(f.row), std::move(text), new_int(f.text_size),
                     new_str(f.type), std::move(in_counts));
}

// Runs a body that reads or writes Arrow data and raises its failures as Python exceptions, once the
// structs it held are released: a producer's release callback may run Python code, which must not find an
// exception pending.
template <class F>
PyObject* arrow_errors(F&& body) {
    try {
        return body();
    } catch (const arrow::TypeMismatch& e) {
        raise(PyExc_TypeError, e.what());
    } catch (const arrow::Error& e) {
        raise(PyExc_ValueError, e.what());
    }
}

template <class T>
T* capsule_pointer(PyObject* capsule, const char* name, const char* what) {
    if (!PyCapsule_IsValid(capsule, name)) {
        raise(PyExc_TypeError, std::string(what) + " is a '" + type_name_of(capsule) + "', not a PyCapsule named '" +
                                   name + "'");
    }
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (p == nullptr) throw ErrorSet{};
    return p;
}

// ("stream", capsule) or ("array", schema capsule, array capsule): its chunks, moved out of the capsules.
arrow::Chunks arrow_chunks(PyObject* source, std::string_view kind) {
    if (kind == "stream") {
        auto* stream = capsule_pointer<ArrowArrayStream>(PyTuple_GetItem(source, 1), kStreamCapsule, "what __arrow_c_stream__() returned");
        return arrow::Chunks::of_stream(stream);
    }
    if (PyTuple_Size(source) != 3) raise(PyExc_TypeError, "__arrow_c_array__() returned no (schema, array) pair");
    auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GetItem(source, 1), kSchemaCapsule, "the schema __arrow_c_array__() returned");
    auto* array = capsule_pointer<ArrowArray>(PyTuple_GetItem(source, 2), kArrayCapsule, "the array __arrow_c_array__() returned");
    return arrow::Chunks::of_array(schema, array);
}

std::string_view kind_of(PyObject* source) {
    if (!PyTuple_Check(source) || PyTuple_Size(source) < 2 || !PyUnicode_Check(PyTuple_GetItem(source, 0)))
        raise(PyExc_TypeError, "a source is (kind, object...)");
    PyObject* kind = PyTuple_GetItem(source, 0);
    for (const char* k : {"stream", "array", "sequence", "dict"})
        if (PyUnicode_CompareWithASCIIString(kind, k) == 0) return k;
    raise(PyExc_ValueError, "unknown source kind");
}

// A Python count, or false with the fault set.
bool count_of(PyObject* value, std::uint64_t row, bool in_counts, RowAdder& adder, std::uint64_t& out) {
    Ref index;
    if (PyLong_Check(value)) {
        index = Ref::borrow(value);
    } else {
        index = Ref::steal(PyNumber_Index(value));
        if (!index) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorSet{};
            PyErr_Clear();
            return adder.fail(RowFaultKind::count_not_integer, row, repr_of(value), type_name_of(value), in_counts);
        }
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw ErrorSet{};
        PyErr_Clear();
        Ref zero = new_int(0);
        const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
        if (negative < 0) throw ErrorSet{};
        Ref text = Ref::check(PyObject_Str(index.get()));
        return adder.fail(negative ? RowFaultKind::negative_count : RowFaultKind::count_too_large, row,
                          utf8_of(text.get()), {}, in_counts);
    }
    out = v;
    return true;
}

// A Python peptide's text, or false with the fault set.
bool text_of(PyObject* item, std::uint64_t row, RowAdder& adder, std::string& out) {
    if (!PyUnicode_Check(item)) return adder.fail(RowFaultKind::not_str, row, repr_of(item), type_name_of(item));
    out = utf8_of(item);
    return true;
}

bool sequence_counts(PyObject* sequence, RowAdder& adder, std::vector<std::uint64_t>& out) {
    Ref iter = Ref::check(PyObject_GetIter(sequence));
    std::uint64_t row = 0;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        std::uint64_t c;
        if (!count_of(item.get(), row++, true, adder, c)) return false;
        out.push_back(c);
    }
    if (PyErr_Occurred()) throw ErrorSet{};
    return true;
}

bool sequence_rows(PyObject* sequence, const std::vector<std::uint64_t>* counts, RowAdder& adder,
                   std::uint64_t& rows) {
    Ref iter = Ref::check(PyObject_GetIter(sequence));
    std::uint64_t row = 0;
    std::string text;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (counts != nullptr && row >= counts->size())
            return adder.fail(RowFaultKind::counts_short, counts->size(), {}, {}, true);
        if (!text_of(item.get(), row, adder, text)) return false;
        if (!adder.add(row, text, counts != nullptr ? (*counts)[row] : 1)) return false;
        ++row;
    }
    if (PyErr_Occurred()) throw ErrorSet{};
    rows = row;
    if (counts != nullptr && counts->size() != row)
        return adder.fail(RowFaultKind::counts_long, row, std::to_string(counts->size()), {}, true);
    return true;
}

bool dict_rows(PyObject* dict, RowAdder& adder, std::uint64_t& rows) {
    if (!PyDict_Check(dict)) raise_cannot_convert(dict, "PyDict");
    std::uint64_t row = 0;
    bool ok = true;
    std::string text;
    walk_dict(dict, [&](PyObject* key, PyObject* value) {
        if (!ok) return;
        std::uint32_t index;
        std::uint64_t count;
        ok = text_of(key, row, adder, text) && adder.intern(row, text, index) && count_of(value, row, false, adder, count);
        if (ok) adder.table().add(index, count);
        ++row;
    });
    rows = row;
    return ok;
}

const std::string* optional_text(PyObject* obj, std::string& holder, const char* what) {
    if (obj == Py_None) return nullptr;
    if (!PyUnicode_Check(obj)) raise(PyExc_TypeError, std::string(what) + " must be a str or None");
    holder = utf8_of(obj);
    return &holder;
}

Ref optional_str(const std::string& s, bool present) { return present ? new_str(s) : Ref::borrow(Py_None); }

void destroy_stream_capsule(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, kStreamCapsule)) return;
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    // A consumer that took the stream has marked it released; one never taken is released here.
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

void destroy_table_capsule(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, kTableCapsule)) return;
    delete static_cast<std::shared_ptr<const arrow::Table>*>(PyCapsule_GetPointer(capsule, kTableCapsule));
}

const Signature kStreamSignature{"_table_stream", {"table", "requested_schema"}, 1};

PyObject* read_rows(PeptideJob& job, PyObject* args) {
    PyObject *peptides = nullptr, *counts = nullptr, *column = nullptr, *count_column = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO:add_rows", &peptides, &counts, &column, &count_column)) throw ErrorSet{};
    if (job.order) raise(PyExc_RuntimeError, "the table is clustered already");
    std::string column_text, count_text;
    arrow::ColumnRequest request;
    request.column = optional_text(column, column_text, "column");
    request.count_column = optional_text(count_column, count_text, "count_column");
    const std::string_view kind = kind_of(peptides);

    RowAdder adder(job.table);
    auto failed = [&] {
        return new_tuple(new_int(0), Ref::borrow(Py_None), Ref::borrow(Py_None), fault_tuple(adder.fault())).release();
    };
    std::vector<std::uint64_t> given;
    if (counts != Py_None) {
        if (kind == "dict") raise(PyExc_ValueError, "counts must be None when the peptides are a dict");
        const std::string_view counts_kind = kind_of(counts);
        bool ok;
        if (counts_kind == "sequence") {
            ok = sequence_counts(PyTuple_GetItem(counts, 1), adder, given);
        } else if (counts_kind == "dict") {
            raise(PyExc_TypeError, "counts must be a column or a sequence of integers, not a dict");
        } else {
            arrow::Chunks chunks = arrow_chunks(counts, counts_kind);
            ok = arrow::import_counts(chunks, adder, given);
        }
        if (!ok) return failed();
        request.counts = &given;
    }

    arrow::ArrowRows read;
    bool ok;
    if (kind == "sequence" || kind == "dict") {
        if (request.column != nullptr)
            raise(PyExc_ValueError, "column='" + *request.column + "' names a table's column, and the peptides are " +
                                        (kind == "dict" ? "a dict" : "a single column"));
        if (request.count_column != nullptr)
            raise(PyExc_ValueError, "counts='" + *request.count_column + "' names a table's column, and the peptides are " +
                                        (kind == "dict" ? "a dict" : "a single column"));
        ok = kind == "dict" ? dict_rows(PyTuple_GetItem(peptides, 1), adder, read.rows)
                            : sequence_rows(PyTuple_GetItem(peptides, 1), request.counts, adder, read.rows);
    } else {
        arrow::Chunks chunks = arrow_chunks(peptides, kind);
        ok = arrow::import_rows(chunks, request, adder, read);
    }
    if (!ok) return failed();
    return new_tuple(new_int(read.rows), optional_str(read.peptide_column, read.table),
                     optional_str(read.count_column, !read.count_column.empty()), Ref::borrow(Py_None))
        .release();
}

}  // namespace

// add_rows(peptides, counts, column, count_column) -> (rows, peptide column or None, count column or None,
// fault or None). A source is ("stream", capsule), ("array", schema, array), ("sequence", iterable) or
// ("dict", {peptide: count}); counts is None or a source of integers (not a dict).
PyObject* add_rows(PeptideJob& job, PyObject* args) {
    return arrow_errors([&] { return read_rows(job, args); });
}

PyObject* result_table(PeptideJob& job) {
    if (!job.order) raise(PyExc_RuntimeError, "the clusters are not ordered yet");
    auto table = std::make_unique<std::shared_ptr<const arrow::Table>>(
        arrow::cluster_table(job.table, job.assignment, *job.order));
    const std::int64_t rows = (*table)->rows;
    Ref capsule = Ref::check(PyCapsule_New(table.get(), kTableCapsule, destroy_table_capsule));
    table.release();
    return new_tuple(std::move(capsule), new_int(static_cast<std::uint64_t>(rows))).release();
}

PyObject* table_stream(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return arrow_errors([&] {
        const auto a = bind_arguments(kStreamSignature, args, kwargs);
        if (!PyCapsule_IsValid(a[0], kTableCapsule)) raise_cannot_convert(a[0], "table");
        std::shared_ptr<const arrow::Table> table =
            *static_cast<std::shared_ptr<const arrow::Table>*>(PyCapsule_GetPointer(a[0], kTableCapsule));
        if (a[1] != nullptr && a[1] != Py_None) {
            // The requested schema stays its owner's: it is only read.
            const auto* requested = capsule_pointer<ArrowSchema>(a[1], kSchemaCapsule, "requested_schema");
            table = arrow::cast_table(std::move(table), *requested);
        }
        auto stream = std::make_unique<ArrowArrayStream>();
        arrow::export_stream(std::move(table), stream.get());
        Ref capsule = Ref::steal(PyCapsule_New(stream.get(), kStreamCapsule, destroy_stream_capsule));
        if (!capsule) {
            stream->release(stream.get());
            throw ErrorSet{};
        }
        stream.release();
        return capsule.release();
    }); });
}

}  // namespace kelvara::py
