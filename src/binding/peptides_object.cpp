// kelvara._core._Peptides: the command line's whole job on native data. Inputs are fed in pieces to a
// reader that fills one table of unique peptides; each length is clustered (and refined) from that table,
// and the outputs are made from it in pieces. No Python object is made per peptide.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "anchors/sim_tables.hpp"
#include "binding/arrow_entry.hpp"
#include "binding/entries.hpp"
#include "binding/peptides_object.hpp"
#include "parallel/pool.hpp"
#include "refine/reassign.hpp"
#include "refine/refine.hpp"
#include "table/clusters.hpp"
#include "table/text_reader.hpp"

namespace kelvara::py {

namespace {

struct PeptidesObject {
    PyObject_HEAD
    PeptideJob* job;
    bool busy;
};

PeptideJob& job_of(PyObject* self) { return *reinterpret_cast<PeptidesObject*>(self)->job; }

// Marks the object in use for one method: a second thread calling in while the first has released the
// interpreter lock would race on the table.
class InUse {
public:
    explicit InUse(PyObject* self) : obj_(reinterpret_cast<PeptidesObject*>(self)) {
        if (obj_->busy) raise(PyExc_RuntimeError, "the peptide table is in use by another call");
        obj_->busy = true;
    }
    ~InUse() { obj_->busy = false; }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

private:
    PeptidesObject* obj_;
};

template <class F>
PyObject* method(PyObject* self, F&& body) {
    return guarded([&] {
        InUse in_use(self);
        return body(job_of(self));
    });
}

Ref new_text(std::string_view text) {
    return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref new_bytes(std::string_view data) {
    return Ref::check(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

Ref new_sum(CountSum value) {
    if (value <= UINT64_MAX) return new_int(static_cast<std::uint64_t>(value));
    std::string digits;
    append_sum(digits, value);
    return Ref::check(PyLong_FromString(digits.c_str(), nullptr, 10));
}

const char* fault_name(FaultKind kind) {
    switch (kind) {
        case FaultKind::empty_peptide: return "empty_peptide";
        case FaultKind::not_peptide: return "not_peptide";
        case FaultKind::count_too_large: return "count_too_large";
        case FaultKind::count_not_integer: return "count_not_integer";
        case FaultKind::fields: return "fields";
        case FaultKind::no_sequence: return "no_sequence";
        case FaultKind::sequence_first: return "sequence_first";
        case FaultKind::line_too_long: return "line_too_long";
        case FaultKind::record_too_long: return "record_too_long";
        case FaultKind::field_too_long: return "field_too_long";
    }
    return "fault";
}

// (kind, line, text, whole size of the text, fields)
Ref fault_tuple(const Fault& f) {
    return new_tuple(new_str(fault_name(f.kind)), new_int(f.line), new_bytes(f.text), new_int(f.text_size),
                     new_int(f.fields));
}

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

InputKind kind_named(const char* name) {
    const std::string_view k(name);
    if (k == "counts") return InputKind::counts;
    if (k == "list") return InputKind::list;
    if (k == "fasta") return InputKind::fasta;
    if (k == "table") return InputKind::table;
    raise(PyExc_ValueError, "unknown input kind '" + std::string(k) + "'");
}

Output output_named(const char* name) {
    const std::string_view k(name);
    if (k == "tsv") return Output::tsv;
    if (k == "csv") return Output::csv;
    if (k == "clstr") return Output::clstr;
    if (k == "centroids") return Output::centroids;
    raise(PyExc_ValueError, "unknown output '" + std::string(k) + "'");
}

const ClusterOrder& order_of(PeptideJob& job) {
    if (!job.order) raise(PyExc_RuntimeError, "the clusters are not ordered yet");
    return *job.order;
}

// begin_input(kind, separator, skip_through, column, count_column, header_fields)
PyObject* begin_input(PyObject* self, PyObject* args) {
    return method(self, [&](PeptideJob& job) {
        const char* kind = nullptr;
        const char* separator = nullptr;
        unsigned long long skip = 0, column = 0, header_fields = 0;
        long long count_column = -1;
        if (!PyArg_ParseTuple(args, "ssKKLK:begin_input", &kind, &separator, &skip, &column, &count_column,
                              &header_fields))
            throw ErrorSet{};
        if (job.order) raise(PyExc_RuntimeError, "the table is clustered already");
        Layout layout;
        layout.kind = kind_named(kind);
        layout.separator = separator[0] != '\0' ? separator[0] : '\t';
        layout.skip_through = skip;
        layout.column = column;
        layout.count_column = count_column;
        layout.header_fields = header_fields;
        job.reader.emplace(job.table, layout);
        Py_RETURN_NONE;
    });
}

// feed(data) -> None, or the input's fault
PyObject* feed(PyObject* self, PyObject* arg) {
    return method(self, [&](PeptideJob& job) {
        if (!job.reader) raise(PyExc_RuntimeError, "no input begun");
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) throw ErrorSet{};
        if (job.reader->feed({data, static_cast<std::size_t>(size)})) Py_RETURN_NONE;
        return fault_tuple(job.reader->fault()).release();
    });
}

// end_input() -> (records, lines, fault or None)
PyObject* end_input(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        if (!job.reader) raise(PyExc_RuntimeError, "no input begun");
        TextReader& r = *job.reader;
        const bool ok = r.finish();
        Ref fault = ok ? Ref::borrow(Py_None) : fault_tuple(r.fault());
        Ref out = new_tuple(new_int(r.records()), new_int(r.lines()), std::move(fault));
        job.reader.reset();
        return out.release();
    });
}

PyObject* largest_overflow(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        const std::size_t i = job.table.largest_overflow();
        if (i == SIZE_MAX) Py_RETURN_NONE;
        return new_text(job.table.peptide(i)).release();
    });
}

PyObject* lengths(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        const auto all = job.table.lengths();
        Ref list = Ref::check(PyList_New(0));
        for (const auto& [len, n] : all) {
            Ref item = new_tuple(new_int(len), new_int(n));
            if (PyList_Append(list.get(), item.get()) < 0) throw ErrorSet{};
        }
        return list.release();
    });
}

const Signature kClusterSignature{
    "cluster",
    {"length", "positions", "threshold", "weight", "block_search", "max_probes", "min_block_bound", "threads",
     "refine", "cap", "merge", "fast_medoid", "merge_cap", "progress"},
    14};

// cluster(length, positions, threshold, weight, block_search, max_probes, min_block_bound, threads, refine,
// cap, merge, fast_medoid, merge_cap, progress) -> (n_comparisons, n_early_exits, refinement stats or None,
// seconds clustering, seconds refining)
PyObject* cluster(PyObject* self, PyObject* args, PyObject* kwargs) {
    return method(self, [&](PeptideJob& job) {
        const auto a = bind_arguments(kClusterSignature, args, kwargs);
        const std::uint64_t len = as_u64(a[0]);
        const std::vector<std::uint64_t> positions = as_positions(a[1]);
        const double threshold = as_double(a[2]);
        const double weight = as_double(a[3]);
        const bool block_search = as_bool(a[4]);
        const std::int64_t max_probes = as_i64(a[5]);
        const double min_bound = as_double(a[6]);
        const std::int64_t threads = as_i64(a[7]);
        RefineOptions refine{};
        refine.threshold = threshold;
        refine.iterations = as_u64(a[8]);
        refine.cap = as_i64(a[9]);
        refine.merge = as_bool(a[10]);
        refine.fast_medoid = as_bool(a[11]);
        refine.merge_cap = as_i64(a[12]);
        PyObject* progress = a[13];
        if (job.order) raise(PyExc_RuntimeError, "the table is clustered already");

        const std::vector<std::uint32_t> members = job.table.of_length(len);
        if (members.empty()) raise(PyExc_ValueError, "no peptides of length " + std::to_string(len));
        const AnchorTable table = job.table.anchor_table(members, refine.iterations > 0);
        const SimTables tables = make_sim_tables(len, check_positions(positions, len), weight);
        GreedyOptions options;
        options.threshold = threshold;
        options.obg_block_search = block_search;
        options.obg_max_probes = max_probes;
        options.effective_cut = effective_cut(threshold, min_bound);
        options.workers = (threads == 1 || block_search) ? 0 : pool_size(threads);
        const auto started = std::chrono::steady_clock::now();
        const auto [order, result] = cluster_in_order(table, tables, options, progress);
        const auto clustered = std::chrono::steady_clock::now();

        const std::size_t n = members.size();
        std::vector<std::size_t> assignment(n);
        for (std::size_t k = 0; k < n; ++k) assignment[order[k]] = order[result.assignment[k]];
        Ref stats = Ref::borrow(Py_None);
        if (refine.iterations > 0) {
            std::unique_ptr<Pool> pool;
            if (threads != 1) pool = std::make_unique<Pool>(pool_size(threads));
            const RefineData data(table, tables);
            CallHook hook{progress};
            Monitor monitor(std::ref(hook));
            refine.monitor = &monitor;
            stats = stats_dict(refine_passes(data, assignment, refine, pool.get()));
        }
        const auto refined = std::chrono::steady_clock::now();
        if (job.assignment.centroid.size() != job.table.size()) job.assignment = Assignment(job.table.size());
        for (std::size_t k = 0; k < n; ++k) {
            job.assignment.centroid[members[k]] = members[assignment[k]];
            job.assignment.similarity[members[k]] = full_sim(tables, table.row(k), table.row(assignment[k]));
        }
        auto seconds = [](auto d) { return Ref::check(PyFloat_FromDouble(std::chrono::duration<double>(d).count())); };
        return new_tuple(new_int(result.n_comparisons), new_int(result.n_early_exits), std::move(stats),
                         seconds(clustered - started), seconds(refined - clustered))
            .release();
    });
}

// order() -> number of clusters: puts the clusters of every clustered length in output order.
PyObject* order(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        if (job.assignment.centroid.size() != job.table.size()) job.assignment = Assignment(job.table.size());
        job.order.emplace(order_clusters(job.table, job.assignment));
        job.records.emplace(job.table);
        return new_int(job.order->clusters.size()).release();
    });
}

// figures(largest) -> {length: (clusters, singletons, summed count, [(centroid, members, count)])}
PyObject* figures(PyObject* self, PyObject* arg) {
    return method(self, [&](PeptideJob& job) {
        const std::size_t largest = PyLong_AsSize_t(arg);
        if (PyErr_Occurred()) throw ErrorSet{};
        const ClusterOrder& o = order_of(job);
        struct Figures {
            std::uint64_t clusters = 0, singletons = 0;
            CountSum count = 0;
            Ref top;
        };
        std::vector<std::pair<std::size_t, Figures>> by_length;
        for (const auto& [len, n] : job.table.lengths()) by_length.emplace_back(len, Figures{});
        auto of = [&](std::size_t len) -> Figures& {
            return std::lower_bound(by_length.begin(), by_length.end(), len,
                                    [](const auto& e, std::size_t l) { return e.first < l; })
                ->second;
        };
        for (const auto& c : o.clusters) {
            Figures& f = of(job.table.length(c.centroid));
            if (!f.top) f.top = Ref::check(PyList_New(0));
            if (static_cast<std::size_t>(PyList_Size(f.top.get())) < largest) {
                Ref item = new_tuple(new_text(job.table.peptide(c.centroid)), new_int(c.members), new_sum(c.total));
                if (PyList_Append(f.top.get(), item.get()) < 0) throw ErrorSet{};
            }
            ++f.clusters;
            f.singletons += c.members == 1;
            f.count += c.total;
        }
        Ref dict = Ref::check(PyDict_New());
        for (auto& [len, f] : by_length) {
            if (f.clusters == 0) continue;
            Ref key = new_int(len);
            Ref value = new_tuple(new_int(f.clusters), new_int(f.singletons), new_sum(f.count), std::move(f.top));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw ErrorSet{};
        }
        return dict.release();
    });
}

// render(output, start, budget) -> (bytes, next start)
PyObject* render_output(PyObject* self, PyObject* args) {
    return method(self, [&](PeptideJob& job) {
        const char* name = nullptr;
        Py_ssize_t from = 0, budget = 0;
        if (!PyArg_ParseTuple(args, "snn:render", &name, &from, &budget)) throw ErrorSet{};
        const Output kind = output_named(name);
        const ClusterOrder& o = order_of(job);
        std::string out;
        out.reserve(static_cast<std::size_t>(budget) + 4096);
        const std::size_t next = render(kind, job.table, job.assignment, o, *job.records,
                                        static_cast<std::size_t>(std::max<Py_ssize_t>(from, 0)),
                                        static_cast<std::size_t>(std::max<Py_ssize_t>(budget, 1)), out);
        return new_tuple(new_bytes(out), new_int(next)).release();
    });
}

// units(output) -> rows (tsv, csv) or clusters (clstr, centroids) to render
PyObject* units(PyObject* self, PyObject* args) {
    return method(self, [&](PeptideJob& job) {
        const char* name = nullptr;
        if (!PyArg_ParseTuple(args, "s:units", &name)) throw ErrorSet{};
        return new_int(render_units(output_named(name), order_of(job))).release();
    });
}

// sizes() -> {length: {members: clusters of that many}}
PyObject* sizes(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        const ClusterOrder& o = order_of(job);
        Ref dict = Ref::check(PyDict_New());
        std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;  // (length, members)
        keyed.reserve(o.clusters.size());
        for (const auto& c : o.clusters) keyed.emplace_back(job.table.length(c.centroid), c.members);
        std::sort(keyed.begin(), keyed.end());
        for (std::size_t k = 0; k < keyed.size();) {
            std::size_t end = k;
            while (end < keyed.size() && keyed[end] == keyed[k]) ++end;
            Ref len = new_int(keyed[k].first);
            PyObject* inner = PyDict_GetItem(dict.get(), len.get());
            Ref made;
            if (inner == nullptr) {
                made = Ref::check(PyDict_New());
                if (PyDict_SetItem(dict.get(), len.get(), made.get()) < 0) throw ErrorSet{};
                inner = made.get();
            }
            Ref size = new_int(keyed[k].second), clusters = new_int(end - k);
            if (PyDict_SetItem(inner, size.get(), clusters.get()) < 0) throw ErrorSet{};
            k = end;
        }
        return dict.release();
    });
}

// members(cluster) -> (centroid, length, summed count, [(peptide, count, similarity)])
PyObject* members(PyObject* self, PyObject* arg) {
    return method(self, [&](PeptideJob& job) {
        const std::size_t k = PyLong_AsSize_t(arg);
        if (PyErr_Occurred()) throw ErrorSet{};
        const ClusterOrder& o = order_of(job);
        if (k >= o.clusters.size()) raise(PyExc_IndexError, "no cluster " + std::to_string(k));
        const auto& c = o.clusters[k];
        Ref list = Ref::check(PyList_New(c.members));
        for (std::uint32_t r = 0; r < c.members; ++r) {
            const std::uint32_t p = o.rows[c.first_row + r];
            Ref sim = Ref::check(PyFloat_FromDouble(job.assignment.similarity[p]));
            PyList_SetItem(list.get(), r,
                           new_tuple(new_text(job.table.peptide(p)), new_int(job.table.count(p)), std::move(sim)).release());
        }
        return new_tuple(new_text(job.table.peptide(c.centroid)), new_int(job.table.length(c.centroid)),
                         new_sum(c.total), std::move(list))
            .release();
    });
}

// packed(length) -> (peptides of that length end to end, their counts as native-endian uint64), table order
PyObject* packed(PyObject* self, PyObject* arg) {
    return method(self, [&](PeptideJob& job) {
        const std::size_t len = PyLong_AsSize_t(arg);
        if (PyErr_Occurred()) throw ErrorSet{};
        const std::vector<std::uint32_t> members = job.table.of_length(len);
        Ref text = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(members.size() * len)));
        Ref counts = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(members.size() * 8)));
        char* t = PyBytes_AsString(text.get());
        char* c = PyBytes_AsString(counts.get());
        for (std::size_t k = 0; k < members.size(); ++k) {
            const std::string_view p = job.table.peptide(members[k]);
            std::copy(p.begin(), p.end(), t + k * len);
            const std::uint64_t count = job.table.count(members[k]);
            std::memcpy(c + k * 8, &count, 8);
        }
        return new_tuple(std::move(text), std::move(counts)).release();
    });
}

// as_dict() -> {peptide: count} in table order, for tests and small tables
PyObject* as_dict(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        Ref dict = Ref::check(PyDict_New());
        for (std::size_t i = 0; i < job.table.size(); ++i) {
            Ref key = new_text(job.table.peptide(i)), value = new_int(job.table.count(i));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw ErrorSet{};
        }
        return dict.release();
    });
}

PyObject* size(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) { return new_int(job.table.size()).release(); });
}

PyObject* records(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) { return new_int(job.table.records().size()).release(); });
}

PyObject* add_rows_method(PyObject* self, PyObject* args) {
    return method(self, [&](PeptideJob& job) { return add_rows(job, args); });
}

PyObject* result_method(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) { return result_table(job); });
}

PyMethodDef methods[] = {
    {"begin_input", begin_input, METH_VARARGS,
     "begin_input(kind, separator, skip_through, column, count_column, header_fields): start reading an input"},
    {"feed", feed, METH_O, "feed(data) -> None, or (kind, line, text, text size, fields) of the input's first fault"},
    {"end_input", end_input, METH_NOARGS, "end_input() -> (records, lines, fault or None)"},
    {"largest_overflow", largest_overflow, METH_NOARGS,
     "largest_overflow() -> the peptide whose counts add up to the most beyond 2**64 - 1, or None"},
    {"lengths", lengths, METH_NOARGS, "lengths() -> [(length, unique peptides)], ascending"},
    {"cluster", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cluster)), METH_VARARGS | METH_KEYWORDS,
     "cluster(length, positions, threshold, weight, block_search, max_probes, min_block_bound, threads, refine, "
     "cap, merge, fast_medoid, merge_cap, progress) -> (n_comparisons, n_early_exits, refinement stats or None, "
     "seconds clustering, seconds refining)"},
    {"order", order, METH_NOARGS, "order() -> clusters: puts the clusters of every clustered length in output order"},
    {"figures", figures, METH_O,
     "figures(largest) -> {length: (clusters, singletons, summed count, [(centroid, members, count)])}"},
    {"render", render_output, METH_VARARGS, "render(output, start, budget) -> (bytes, next start)"},
    {"units", units, METH_VARARGS, "units(output) -> how many rows or clusters render() goes through"},
    {"sizes", sizes, METH_NOARGS, "sizes() -> {length: {members: clusters}}"},
    {"members", members, METH_O, "members(cluster) -> (centroid, length, summed count, [(peptide, count, similarity)])"},
    {"packed", packed, METH_O, "packed(length) -> (peptides end to end, counts as native-endian uint64)"},
    {"size", size, METH_NOARGS, "size() -> unique peptides"},
    {"as_dict", as_dict, METH_NOARGS, "as_dict() -> {peptide: count} in table order"},
    {"records", records, METH_NOARGS, "records() -> FASTA records read"},
    {"add_rows", add_rows_method, METH_VARARGS,
     "add_rows(peptides, counts, column, count_column) -> (rows, peptide column, count column, fault or None): "
     "rows from Arrow capsules, a sequence of str or a dict"},
    {"result", result_method, METH_NOARGS, "result() -> (table, rows): the ordered clusters as a table for _table_stream"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* peptides_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "_Peptides() takes no arguments");
        return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<PeptidesObject*>(self);
    obj->busy = false;
    obj->job = new (std::nothrow) PeptideJob();
    if (obj->job == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void peptides_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<PeptidesObject*>(self)->job;
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(peptides_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(peptides_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("Unique peptides read from inputs, clustered length by length, and the outputs "
                                  "made from them; private to the kelvara package.")},
    {0, nullptr},
};

PyType_Spec spec = {"kelvara._core._Peptides", sizeof(PeptidesObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* peptides_type = nullptr;

PeptideJob& peptide_job(PyObject* obj) {
    if (peptides_type == nullptr || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(peptides_type)))
        raise_cannot_convert(obj, "_Peptides");
    return job_of(obj);
}

bool add_peptides_type(PyObject* module) {
    if (peptides_type == nullptr) {
        peptides_type = PyType_FromSpec(&spec);
        if (peptides_type == nullptr) return false;
    }
    return PyObject_SetAttrString(module, "_Peptides", peptides_type) == 0;
}

}  // namespace kelvara::py
