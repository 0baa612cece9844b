#pragma once

// Peptides handed over as rows (of Arrow columns here, of Python objects in the binding) added to a
// peptide table by the readers' rules: surrounding whitespace stripped, letters only, read in upper case,
// counts added up, first appearance kept.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/columns.hpp"
#include "table/peptide_table.hpp"

namespace kelvara::arrow {

enum class RowFaultKind {
    null_peptide,
    empty_peptide,
    not_peptide,        // text: the stripped field
    not_str,            // text: the value's repr, type: its type's name
    null_count,
    negative_count,     // text: the value
    count_not_integer,  // text: the value's repr, type: its type's name
    count_too_large,    // text: the value
    counts_short,       // row: how many counts there are
    counts_long,        // row: how many peptides there are, text: how many counts
};

// The first bad row of an input, for the message the binding makes of it.
struct RowFault {
    RowFaultKind kind = RowFaultKind::null_peptide;
    std::uint64_t row = 0;
    std::string text;             // at most kExcerpt bytes of it
    std::uint64_t text_size = 0;  // its whole size
    std::string type;
    bool in_counts = false;       // the row is one of a separate counts column's
};

class RowAdder {
public:
    static constexpr std::size_t kExcerpt = 200;

    explicit RowAdder(PeptideTable& table) : table_(table) {}

    // Adds one row; false once a fault is set.
    bool add(std::uint64_t row, std::string_view text, std::uint64_t count) {
        std::uint32_t i;
        if (!intern(row, text, i)) return false;
        table_.add(i, count);
        return true;
    }
    bool fail(RowFaultKind kind, std::uint64_t row, std::string_view text = {}, std::string_view type = {},
              bool in_counts = false);
    // The index of a row's peptide, checked, with nothing added to its count yet.
    bool intern(std::uint64_t row, std::string_view text, std::uint32_t& index);
    const RowFault& fault() const { return fault_; }
    PeptideTable& table() { return table_; }

private:

    PeptideTable& table_;
    RowFault fault_;
    std::string upper_;
};

// Which columns of a table to read.
struct ColumnRequest {
    const std::string* column = nullptr;        // the peptide column; nullptr: the one named peptide,
                                                // sequence or anchor (in that order of preference, any case)
    const std::string* count_column = nullptr;  // the count column; nullptr: one named count (any case), if any
    const std::vector<std::uint64_t>* counts = nullptr;  // counts given apart, row by row: no count column
};

// What an Arrow input turned out to hold.
struct ArrowRows {
    std::uint64_t rows = 0;
    bool table = false;
    std::string peptide_column, count_column;  // the columns of a table read; count_column "" for none
};

// Reads every chunk into the table; false with the adder's fault set for the first bad row. Throws Error
// (TypeMismatch for a column of the wrong type) for what is no such input at all.
bool import_rows(Chunks& chunks, const ColumnRequest& request, RowAdder& adder, ArrowRows& out);

// Reads a column of counts; false with the adder's fault set for the first bad row.
bool import_counts(Chunks& chunks, RowAdder& adder, std::vector<std::uint64_t>& out);

}  // namespace kelvara::arrow
