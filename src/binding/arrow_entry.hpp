#pragma once

#include "binding/peptides_object.hpp"

namespace kelvara::py {

// _Peptides.add_rows(peptides, counts, column, count_column): rows from Arrow capsules, a sequence of str
// or a dict into the job's table (see arrow_entry.cpp).
PyObject* add_rows(PeptideJob& job, PyObject* args);
// _Peptides.result() -> (table capsule, rows): the clustered table, made once, for _table_stream.
PyObject* result_table(PeptideJob& job);
// _table_stream(table, requested_schema=None) -> an "arrow_array_stream" capsule of the table.
PyObject* table_stream(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace kelvara::py
