#pragma once

#include <optional>

#include "binding/py.hpp"
#include "table/clusters.hpp"
#include "table/peptide_table.hpp"
#include "table/text_reader.hpp"

namespace kelvara::py {

// The native side of one clustering job: its peptides, the reader of the input being read, every
// peptide's centroid, and the clusters in output order once they are made.
struct PeptideJob {
    PeptideTable table;
    std::optional<TextReader> reader;
    Assignment assignment;
    std::optional<ClusterOrder> order;
    std::optional<RecordIndex> records;
    std::optional<SampleIndex> samples;
    std::vector<std::uint64_t> reference_numbers;  // per peptide: its reference cluster, if a reference's centroid
};

// The type kelvara._core._Peptides, made once and added to the module at import.
extern PyObject* peptides_type;
bool add_peptides_type(PyObject* module);

// The private module function that reads a reference table's centroids.
PyObject* read_reference_entry(PyObject* self, PyObject* args);

// The job of a _Peptides object; TypeError for any other object.
PeptideJob& peptide_job(PyObject* obj);

}  // namespace kelvara::py
