#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "table/peptide_table.hpp"

namespace kelvara {

// No line, field or FASTA record of an input may be longer: no peptide is, and a bound keeps the memory a
// hostile input can take in proportion to the input.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;
// Python's csv module refuses fields longer than this by default; tables keep that rule.
inline constexpr std::size_t kMaxFieldBytes = 131072;
// The most of an offending field a fault keeps for its message.
inline constexpr std::size_t kExcerptBytes = 200;

enum class InputKind { counts, list, fasta, table };

// How one input is read, as its name and first line have shown.
struct Layout {
    InputKind kind = InputKind::list;
    char separator = '\t';          // counts: between peptide and count; table: the delimiter
    std::uint64_t skip_through = 0;  // lines up to and including this one are no data (a header)
    std::size_t column = 0;          // table: the peptide column
    std::int64_t count_column = -1;  // table: the count column; -1: each row counts once
    std::size_t header_fields = 0;   // table: the fields of its header, for messages
};

enum class FaultKind {
    empty_peptide,
    not_peptide,         // text: the field
    count_too_large,     // text: the field
    count_not_integer,   // text: the field
    fields,              // fields: how many the line or row has
    no_sequence,         // a FASTA header without sequence lines
    sequence_first,      // sequence before the first FASTA header
    line_too_long,
    record_too_long,     // a FASTA record
    field_too_long,      // a table field
};

// The first fault of an input: what, on which line, and the offending text.
struct Fault {
    FaultKind kind = FaultKind::empty_peptide;
    std::uint64_t line = 0;
    std::string text;            // at most kExcerptBytes of the field, stripped
    std::uint64_t text_size = 0;  // the whole field's size
    std::uint64_t fields = 0;
};

// Reads one input, fed in pieces of any size, into a peptide table: every peptide is checked (letters
// only, read in upper case) and its count added. Lines end at "\n", "\r\n" or "\r". The first fault ends
// the input; what it read before stays in the table.
class TextReader {
public:
    TextReader(PeptideTable& table, const Layout& layout) : table_(table), layout_(layout) {}

    // False once a fault has ended the input (see fault()).
    bool feed(std::string_view data);
    // The end of the input: the last line, and a FASTA record or table row still open.
    bool finish();

    const Fault& fault() const { return fault_; }
    bool failed() const { return failed_; }
    std::uint64_t records() const { return records_; }
    std::uint64_t lines() const { return line_; }

private:
    bool line(std::string_view text);
    bool counts_line(std::string_view text);
    bool list_line(std::string_view text);
    bool fasta_line(std::string_view text);
    bool table_line(std::string_view text);
    bool close_record();
    bool end_row();
    bool peptide(std::string_view field, std::uint64_t at, std::uint32_t& index);
    bool count(std::string_view field, std::uint64_t at, std::uint64_t& value);
    bool fail(FaultKind kind, std::uint64_t at, std::string_view text = {}, std::uint64_t fields = 0);

    PeptideTable& table_;
    Layout layout_;
    Fault fault_;
    bool failed_ = false;
    std::uint64_t line_ = 0;
    std::uint64_t records_ = 0;
    std::string pending_;  // a line begun in an earlier piece
    bool after_cr_ = false;  // the last piece ended with "\r": a "\n" starting the next one ends nothing
    std::string upper_;

    // FASTA: the open record.
    bool record_open_ = false;
    std::uint64_t record_line_ = 0;
    std::string record_name_;
    std::string sequence_;
    bool has_sequence_ = false;

    // Table: the row being read, as Python's csv reader reads it.
    enum class Csv { start_record, start_field, in_field, in_quoted, quote_in_quoted };
    Csv csv_ = Csv::start_record;
    std::size_t field_index_ = 0;
    std::size_t field_size_ = 0;
    std::string field_;        // the current field, kept when it is one the row needs
    std::string first_field_;  // a blank single-field row is skipped
    std::string peptide_field_, count_field_;
    bool keep_field_ = false;
};

}  // namespace kelvara
