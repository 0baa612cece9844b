// kelvara._core._Peptides: the command line's whole job on native data. Inputs are fed in pieces to a
// reader that fills one table of unique peptides; each length is clustered (and refined) from that table,
// and the outputs are made from it in pieces. No Python object is made per peptide.
#include <algorithm>
#include <chrono>
#include <map>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "anchors/radix_sort.hpp"
#include "anchors/sim_tables.hpp"
#include "binding/arrow_entry.hpp"
#include "binding/entries.hpp"
#include "cluster/seeded.hpp"
#include "binding/peptides_object.hpp"
#include "parallel/pool.hpp"
#include "refine/reassign.hpp"
#include "refine/refine.hpp"
#include "table/clusters.hpp"
#include "table/fields.hpp"
#include "table/reference.hpp"
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
        case FaultKind::intensity_not_number: return "intensity_not_number";
        case FaultKind::intensity_negative: return "intensity_negative";
        case FaultKind::intensity_infinite: return "intensity_infinite";
        case FaultKind::empty_sample: return "empty_sample";
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
    if (k == "samples") return Output::samples;
    raise(PyExc_ValueError, "unknown output '" + std::string(k) + "'");
}

const ClusterOrder& order_of(PeptideJob& job) {
    if (!job.order) raise(PyExc_RuntimeError, "the clusters are not ordered yet");
    return *job.order;
}

const Signature kBeginSignature{
    "begin_input",
    {"kind", "separator", "skip_through", "column", "count_column", "header_fields", "whitespace",
     "strip_modifications", "intensity", "sample", "sample_column"},
    1};

// begin_input(kind, separator="\t", skip_through=0, column=0, count_column=-1, header_fields=0,
// whitespace=False, strip_modifications=False, intensity=False, sample=None, sample_column=-1)
PyObject* begin_input(PyObject* self, PyObject* args, PyObject* kwargs) {
    return method(self, [&](PeptideJob& job) {
        const auto a = bind_arguments(kBeginSignature, args, kwargs);
        auto given = [&](std::size_t i) { return a[i] != nullptr; };
        if (job.order) raise(PyExc_RuntimeError, "the table is clustered already");
        Layout layout;
        layout.kind = kind_named(as_utf8(a[0]).c_str());
        if (given(1)) {
            const std::string separator = as_utf8(a[1]);
            if (separator.size() != 1) raise(PyExc_ValueError, "a separator is one character");
            layout.separator = separator[0];
        }
        if (given(2)) layout.skip_through = as_u64(a[2]);
        if (given(3)) layout.column = as_u64(a[3]);
        if (given(4)) layout.count_column = as_i64(a[4]);
        if (given(5)) layout.header_fields = as_u64(a[5]);
        layout.whitespace = given(6) && as_bool(a[6]);
        layout.strip_modifications = given(7) && as_bool(a[7]);
        layout.intensity = given(8) && as_bool(a[8]);
        if (given(9) && a[9] != Py_None) layout.sample = job.table.sample_id(as_utf8(a[9]));
        if (given(10)) layout.sample_column = as_i64(a[10]);
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

// end_input() -> {"records", "lines", "stripped", "unquantified", "long_records", "fault": fault or None}
PyObject* end_input(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        if (!job.reader) raise(PyExc_RuntimeError, "no input begun");
        TextReader& r = *job.reader;
        const bool ok = r.finish();
        Ref out = Ref::check(PyDict_New());
        const std::pair<const char*, std::uint64_t> figures[] = {{"records", r.records()},
                                                                 {"lines", r.lines()},
                                                                 {"stripped", r.stripped()},
                                                                 {"unquantified", r.unquantified()},
                                                                 {"long_records", r.long_records()}};
        for (const auto& [key, value] : figures) {
            Ref number = new_int(value);
            if (PyDict_SetItemString(out.get(), key, number.get()) < 0) throw ErrorSet{};
        }
        Ref fault = ok ? Ref::borrow(Py_None) : fault_tuple(r.fault());
        if (PyDict_SetItemString(out.get(), "fault", fault.get()) < 0) throw ErrorSet{};
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
        job.assignment.grow(job.table.size());
        for (std::size_t k = 0; k < n; ++k) {
            if (k + 16 < n) __builtin_prefetch(table.row(assignment[k + 16]));  // centroids lie anywhere
            job.assignment.centroid[members[k]] = members[assignment[k]];
            job.assignment.similarity[members[k]] = full_sim(tables, table.row(k), table.row(assignment[k]));
        }
        auto seconds = [](auto d) { return Ref::check(PyFloat_FromDouble(std::chrono::duration<double>(d).count())); };
        return new_tuple(new_int(result.n_comparisons), new_int(result.n_early_exits), std::move(stats),
                         seconds(clustered - started), seconds(refined - clustered))
            .release();
    });
}

const Signature kAssignSignature{
    "assign", {"length", "references", "numbers", "positions", "threshold", "weight", "threads", "progress"}, 8};

// assign(length, references, numbers, positions, threshold, weight, threads, progress) -> (n_comparisons,
// n_early_exits, peptides joining reference clusters, new clusters, reference clusters joined, seconds):
// the peptides of one length clustered onto a reference's centroids of that length (packed end to end, in
// the reference's order, with their cluster numbers as native-endian uint64).
PyObject* assign(PyObject* self, PyObject* args, PyObject* kwargs) {
    return method(self, [&](PeptideJob& job) {
        const auto a = bind_arguments(kAssignSignature, args, kwargs);
        const std::uint64_t len = as_u64(a[0]);
        char* ref_data = nullptr;
        char* number_data = nullptr;
        Py_ssize_t ref_size = 0, number_size = 0;
        if (PyBytes_AsStringAndSize(a[1], &ref_data, &ref_size) < 0 ||
            PyBytes_AsStringAndSize(a[2], &number_data, &number_size) < 0)
            throw ErrorSet{};
        const std::vector<std::uint64_t> positions = as_positions(a[3]);
        const double threshold = as_double(a[4]);
        const double weight = as_double(a[5]);
        const std::int64_t threads = as_i64(a[6]);
        PyObject* progress = a[7];
        if (job.order) raise(PyExc_RuntimeError, "the table is clustered already");
        if (len == 0 || static_cast<std::size_t>(ref_size) % len != 0 ||
            static_cast<std::size_t>(number_size) != static_cast<std::size_t>(ref_size) / len * 8)
            raise(PyExc_ValueError, "references and numbers do not fit the length");
        const std::size_t n_ref = static_cast<std::size_t>(ref_size) / len;

        job.table.end_inputs();
        const std::vector<std::uint32_t> members = job.table.of_length(len);
        if (members.empty()) raise(PyExc_ValueError, "no peptides of length " + std::to_string(len));
        const AnchorTable table = job.table.anchor_table(members, false);
        const SimTables tables = make_sim_tables(len, check_positions(positions, len), weight);
        // Every reference centroid in the table too, so that a cluster can name it; a new peptide equal to one
        // joins it at once.
        std::vector<std::uint32_t> ref_index(n_ref);
        std::vector<std::uint8_t> ref_residues(n_ref * len);
        if (job.reference_numbers.size() < job.table.size()) job.reference_numbers.resize(job.table.size(), kNotReference);
        for (std::size_t r = 0; r < n_ref; ++r) {
            const std::string_view text(ref_data + r * len, len);
            ref_index[r] = job.table.intern(text);
            std::uint64_t number;
            std::memcpy(&number, number_data + r * 8, 8);
            job.reference_numbers.resize(job.table.size(), kNotReference);
            job.reference_numbers[ref_index[r]] = number;
            for (std::size_t p = 0; p < len; ++p) {
                const auto byte = static_cast<unsigned char>(text[p]);
                ref_residues[r * len + p] = static_cast<std::uint8_t>(byte < 128 ? byte : 0);
            }
        }
        std::vector<std::size_t> ref_of(job.table.size(), SIZE_MAX);
        for (std::size_t r = 0; r < n_ref; ++r)
            if (ref_of[ref_index[r]] == SIZE_MAX) ref_of[ref_index[r]] = r;

        const std::vector<std::size_t> order = processing_order(table.counts);
        const std::size_t n = members.size();
        std::vector<std::uint8_t> residues(n * len);
        std::vector<std::size_t> equal(n);
        for (std::size_t k = 0; k < n; ++k) {
            if (k + 16 < n) __builtin_prefetch(table.row(order[k + 16]));  // rows lie anywhere in the table
            std::copy_n(table.row(order[k]), len, residues.begin() + k * len);
            equal[k] = ref_of[members[order[k]]];
        }
        const auto started = std::chrono::steady_clock::now();
        SeededResult result;
        {
            std::unique_ptr<Pool> pool;
            if (threads != 1) pool = std::make_unique<Pool>(pool_size(threads));
            CallHook hook{progress};
            Monitor monitor(std::ref(hook));
            monitor.stage("cluster", 0, n);
            result = seeded_cluster(tables, ref_residues.data(), n_ref, residues.data(), n, equal, threshold,
                                    pool.get(), &monitor);
            monitor.finish();
        }
        const auto done = std::chrono::steady_clock::now();

        job.assignment.grow(job.table.size());
        std::uint64_t joined = 0, fresh = 0;
        std::vector<bool> gained(n_ref, false);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t c = result.assignment[k];
            const std::uint32_t p = members[order[k]];
            const std::uint8_t* row = residues.data() + k * len;
            if (c < n_ref) {
                ++joined;
                gained[c] = true;
                job.assignment.centroid[p] = ref_index[c];
                job.assignment.similarity[p] = full_sim(tables, row, ref_residues.data() + c * len);
            } else {
                fresh += c - n_ref == k;
                job.assignment.centroid[p] = members[order[c - n_ref]];
                job.assignment.similarity[p] = full_sim(tables, row, residues.data() + (c - n_ref) * len);
            }
        }
        const auto joined_clusters = static_cast<std::uint64_t>(std::count(gained.begin(), gained.end(), true));
        Ref seconds = Ref::check(PyFloat_FromDouble(std::chrono::duration<double>(done - started).count()));
        return new_tuple(new_int(result.n_comparisons), new_int(result.n_early_exits), new_int(joined),
                         new_int(fresh), new_int(joined_clusters), std::move(seconds))
            .release();
    });
}

// order() -> number of clusters: puts the clusters of every clustered length in output order.
PyObject* order(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        job.assignment.grow(job.table.size());
        job.reference_numbers.resize(job.table.size(), kNotReference);
        const bool assigned = std::any_of(job.reference_numbers.begin(), job.reference_numbers.end(),
                                          [](std::uint64_t n) { return n != kNotReference; });
        job.order.emplace(order_clusters(job.table, job.assignment, assigned ? &job.reference_numbers : nullptr));
        job.records.emplace(job.table);
        job.samples.emplace(job.table);
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
            std::vector<std::size_t> top;  // the largest clusters so far, largest first
        };
        std::vector<std::pair<std::size_t, Figures>> by_length;
        for (const auto& [len, n] : job.table.lengths()) by_length.emplace_back(len, Figures{});
        auto of = [&](std::size_t len) -> Figures& {
            return std::lower_bound(by_length.begin(), by_length.end(), len,
                                    [](const auto& e, std::size_t l) { return e.first < l; })
                ->second;
        };
        // Clusters come largest first, except the reference's in an assignment: the largest are picked.
        auto larger = [&](std::size_t x, std::size_t y) { return larger_cluster(job.table, o.clusters[x], o.clusters[y]); };
        for (std::size_t k = 0; k < o.clusters.size(); ++k) {
            const auto& c = o.clusters[k];
            Figures& f = of(job.table.length(c.centroid));
            if (largest > 0 && (f.top.size() < largest || larger(k, f.top.back()))) {
                if (f.top.size() == largest) f.top.pop_back();
                f.top.insert(std::upper_bound(f.top.begin(), f.top.end(), k, larger), k);
            }
            ++f.clusters;
            f.singletons += c.members == 1;
            f.count += c.total;
        }
        Ref dict = Ref::check(PyDict_New());
        for (auto& [len, f] : by_length) {
            if (f.clusters == 0) continue;
            Ref key = new_int(len);
            Ref top = Ref::check(PyList_New(0));
            for (const std::size_t k : f.top) {
                const auto& c = o.clusters[k];
                Ref item = new_tuple(new_text(job.table.peptide(c.centroid)), new_int(c.members), new_sum(c.total));
                if (PyList_Append(top.get(), item.get()) < 0) throw ErrorSet{};
            }
            Ref value = new_tuple(new_int(f.clusters), new_int(f.singletons), new_sum(f.count), std::move(top));
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
        if (kind == Output::samples && job.samples->empty()) raise(PyExc_ValueError, "the table has no samples");
        const Outputs outputs{job.table, job.assignment, o, *job.records, *job.samples};
        const std::size_t next = render(kind, outputs, static_cast<std::size_t>(std::max<Py_ssize_t>(from, 0)),
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
        for (std::size_t i = 0; i < job.table.inputs(); ++i) {
            Ref key = new_text(job.table.peptide(i)), value = new_int(job.table.count(i));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw ErrorSet{};
        }
        return dict.release();
    });
}

// as_reference() -> {length: (centroids end to end, cluster numbers as native-endian uint64)}, in the
// clusters' order: the clustering as a reference to assign other peptides to.
PyObject* as_reference(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        const ClusterOrder& o = order_of(job);
        std::map<std::size_t, std::pair<std::string, std::vector<std::uint64_t>>> by_length;
        for (const auto& c : o.clusters) {
            auto& entry = by_length[job.table.length(c.centroid)];
            entry.first.append(job.table.peptide(c.centroid));
            entry.second.push_back(c.number);
        }
        Ref dict = Ref::check(PyDict_New());
        for (const auto& [len, entry] : by_length) {
            Ref key = new_int(len);
            Ref numbers = Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(entry.second.data()),
                                                               static_cast<Py_ssize_t>(entry.second.size() * 8)));
            Ref value = new_tuple(new_bytes(entry.first), std::move(numbers));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw ErrorSet{};
        }
        return dict.release();
    });
}

PyObject* sample_names(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        Ref list = Ref::check(PyList_New(0));
        for (const std::string& name : job.table.sample_names()) {
            Ref item = new_text(name);
            if (PyList_Append(list.get(), item.get()) < 0) throw ErrorSet{};
        }
        return list.release();
    });
}

// cluster_samples(cluster) -> [(summed count, peptides)] per sample
PyObject* cluster_samples(PyObject* self, PyObject* arg) {
    return method(self, [&](PeptideJob& job) {
        const std::size_t k = PyLong_AsSize_t(arg);
        if (PyErr_Occurred()) throw ErrorSet{};
        const ClusterOrder& o = order_of(job);
        if (k >= o.clusters.size()) raise(PyExc_IndexError, "no cluster " + std::to_string(k));
        if (job.samples->empty()) raise(PyExc_ValueError, "the table has no samples");
        std::vector<SampleIndex::Share> shares;
        job.samples->shares(o, k, shares);
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(shares.size())));
        for (std::size_t s = 0; s < shares.size(); ++s)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(s),
                           new_tuple(new_sum(shares[s].count), new_int(shares[s].peptides)).release());
        return list.release();
    });
}

// sample_figures() -> [(unique peptides, summed count, clusters)] per sample, over the clustered peptides
PyObject* sample_figures(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) {
        const ClusterOrder& o = order_of(job);
        if (job.samples->empty()) raise(PyExc_ValueError, "the table has no samples");
        const SampleIndex& index = *job.samples;
        struct Figure {
            std::uint64_t peptides = 0, clusters = 0;
            CountSum count = 0;
            std::size_t last_cluster = SIZE_MAX;
        };
        std::vector<Figure> figures(index.samples);
        // Rows in cluster order, each peptide's counts asked for ahead: they are scattered over the table.
        constexpr std::size_t kAhead = 16;
        for (std::size_t r = 0; r < o.rows.size(); ++r) {
            if (r + kAhead < o.rows.size()) index.prefetch(o.rows[r + kAhead]);
            if (r + kAhead / 2 < o.rows.size()) index.prefetch_counts(o.rows[r + kAhead / 2]);
            const std::uint32_t p = o.rows[r];
            const std::size_t k = o.row_cluster[r];
            for (std::uint32_t e = index.start[p]; e < index.start[p + 1]; ++e) {
                Figure& f = figures[(*index.counts)[e].sample];
                ++f.peptides;
                f.count += (*index.counts)[e].count;
                if (f.last_cluster != k) ++f.clusters, f.last_cluster = k;
            }
        }
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(figures.size())));
        for (std::size_t s = 0; s < figures.size(); ++s)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(s),
                           new_tuple(new_int(figures[s].peptides), new_sum(figures[s].count),
                                     new_int(figures[s].clusters))
                               .release());
        return list.release();
    });
}

// nonstandard(lengths) -> unique peptides of those lengths holding B, J, O, U, X or Z
PyObject* nonstandard(PyObject* self, PyObject* arg) {
    return method(self, [&](PeptideJob& job) {
        std::vector<std::uint64_t> lengths = as_positions(arg);
        std::sort(lengths.begin(), lengths.end());
        std::uint64_t n = 0;
        for (std::size_t i = 0; i < job.table.inputs(); ++i)
            if (std::binary_search(lengths.begin(), lengths.end(), job.table.length(i)) &&
                fields::has_nonstandard_letter(job.table.peptide(i)))
                ++n;
        return new_int(n).release();
    });
}

PyObject* size(PyObject* self, PyObject*) {
    return method(self, [&](PeptideJob& job) { return new_int(job.table.inputs()).release(); });
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
    {"begin_input", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(begin_input)),
     METH_VARARGS | METH_KEYWORDS,
     "begin_input(kind, separator, skip_through, column, count_column, header_fields, whitespace, "
     "strip_modifications, intensity, sample, sample_column): start reading an input"},
    {"feed", feed, METH_O, "feed(data) -> None, or (kind, line, text, text size, fields) of the input's first fault"},
    {"end_input", end_input, METH_NOARGS,
     "end_input() -> {records, lines, stripped, unquantified, long_records, fault (or None)}"},
    {"largest_overflow", largest_overflow, METH_NOARGS,
     "largest_overflow() -> the peptide whose counts add up to the most beyond 2**64 - 1, or None"},
    {"lengths", lengths, METH_NOARGS, "lengths() -> [(length, unique peptides)], ascending"},
    {"cluster", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cluster)), METH_VARARGS | METH_KEYWORDS,
     "cluster(length, positions, threshold, weight, block_search, max_probes, min_block_bound, threads, refine, "
     "cap, merge, fast_medoid, merge_cap, progress) -> (n_comparisons, n_early_exits, refinement stats or None, "
     "seconds clustering, seconds refining)"},
    {"assign", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(assign)), METH_VARARGS | METH_KEYWORDS,
     "assign(length, references, numbers, positions, threshold, weight, threads, progress) -> (n_comparisons, "
     "n_early_exits, peptides joining reference clusters, new clusters, reference clusters joined, seconds)"},
    {"order", order, METH_NOARGS, "order() -> clusters: puts the clusters of every clustered length in output order"},
    {"figures", figures, METH_O,
     "figures(largest) -> {length: (clusters, singletons, summed count, [(centroid, members, count)])}"},
    {"render", render_output, METH_VARARGS, "render(output, start, budget) -> (bytes, next start)"},
    {"units", units, METH_VARARGS, "units(output) -> how many rows or clusters render() goes through"},
    {"sizes", sizes, METH_NOARGS, "sizes() -> {length: {members: clusters}}"},
    {"members", members, METH_O, "members(cluster) -> (centroid, length, summed count, [(peptide, count, similarity)])"},
    {"packed", packed, METH_O, "packed(length) -> (peptides end to end, counts as native-endian uint64)"},
    {"size", size, METH_NOARGS, "size() -> unique peptides of the inputs"},
    {"as_reference", as_reference, METH_NOARGS,
     "as_reference() -> {length: (centroids end to end, cluster numbers as native-endian uint64)}, in cluster order"},
    {"sample_names", sample_names, METH_NOARGS, "sample_names() -> the samples, in order of first appearance"},
    {"cluster_samples", cluster_samples, METH_O, "cluster_samples(cluster) -> [(summed count, peptides)] per sample"},
    {"sample_figures", sample_figures, METH_NOARGS,
     "sample_figures() -> [(peptides, summed count, clusters)] per sample"},
    {"nonstandard", nonstandard, METH_O,
     "nonstandard(lengths) -> unique peptides of those lengths holding B, J, O, U, X or Z"},
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

// _read_reference_table(data, separator, header_fields, peptide, centroid, cluster) -> (clusters,
// {length: (centroids end to end, numbers as native-endian uint64)}), or (line, message) of a contradiction
PyObject* read_reference_entry(PyObject*, PyObject* args) {
    return guarded([&] {
        const char* data = nullptr;
        Py_ssize_t size = 0;
        const char* separator = nullptr;
        Py_ssize_t header_fields = 0, peptide = 0, centroid = 0, cluster = -1;
        if (!PyArg_ParseTuple(args, "y#snnnn:_read_reference_table", &data, &size, &separator, &header_fields, &peptide,
                              &centroid, &cluster))
            throw ErrorSet{};
        ReferenceTable table;
        {
            AllowThreads unlocked;
            table = read_reference_table({data, static_cast<std::size_t>(size)}, separator[0],
                                         static_cast<std::size_t>(header_fields), static_cast<std::size_t>(peptide),
                                         static_cast<std::size_t>(centroid), cluster);
        }
        if (table.fault_line != 0) return new_tuple(new_int(table.fault_line), new_str(table.fault)).release();
        Ref lengths = Ref::check(PyDict_New());
        for (const auto& [len, l] : table.lengths) {
            Ref key = new_int(len);
            Ref numbers = Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(l.numbers.data()),
                                                               static_cast<Py_ssize_t>(l.numbers.size() * 8)));
            Ref value = new_tuple(new_bytes(l.centroids), std::move(numbers));
            if (PyDict_SetItem(lengths.get(), key.get(), value.get()) < 0) throw ErrorSet{};
        }
        return new_tuple(new_int(table.clusters), std::move(lengths)).release();
    });
}

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
