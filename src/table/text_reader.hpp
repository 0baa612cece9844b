#pragma once

#include <array>
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
    bool whitespace = false;         // counts: fields apart by any run of whitespace, not by `separator`
    bool strip_modifications = false;  // modified sequences read as their bare sequence
    bool intensity = false;          // counts are decimal intensities, rounded; empty, NaN or 0: not quantified
    std::uint32_t sample = PeptideTable::kNoSample;  // the sample of every record, or
    std::int64_t sample_column = -1;  // table: the column that names each row's sample
};

enum class FaultKind {
    empty_peptide,
    not_peptide,         // text: the field
    count_too_large,     // text: the field
    count_not_integer,   // text: the field
    intensity_not_number,  // text: the field
    intensity_negative,    // text: the field
    intensity_infinite,    // text: the field
    empty_sample,
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
    std::uint64_t stripped() const { return stripped_; }          // records whose modifications were removed
    std::uint64_t unquantified() const { return unquantified_; }  // rows left out as not quantified
    std::uint64_t long_records() const { return long_records_; }  // records longer than a peptide usually is
    std::uint64_t lines() const { return line_; }

private:
    bool line(std::string_view text);
    bool counts_line(std::string_view text);
    bool list_line(std::string_view text);
    bool fasta_line(std::string_view text);
    bool table_line(std::string_view text);
    bool close_record();
    bool record_size();
    bool wanted(std::size_t field) const;
    void keep(std::size_t field);
    bool end_row();
    // The peptide of a field, checked and in upper case, into `out` (valid until the next call).
    bool peptide(std::string_view field, std::uint64_t at, std::string_view& out);
    // 1: a count; 0: a fault; -1: no count (an intensity not quantified), the row adds nothing.
    int count(std::string_view field, std::uint64_t at, std::uint64_t& value);
    std::uint32_t take(std::string_view peptide, std::uint64_t count, std::uint32_t sample);
    // A record whose peptide goes into the table a few records later (see waiting_).
    void take_later(std::string_view peptide, std::uint64_t count, std::uint32_t sample);
    void take_waiting();
    void settle();
    bool feed_lines(std::string_view data);
    bool finish_input();
    bool fail(FaultKind kind, std::uint64_t at, std::string_view text = {}, std::uint64_t fields = 0);

    PeptideTable& table_;
    Layout layout_;
    Fault fault_;
    bool failed_ = false;
    std::uint64_t line_ = 0;
    std::uint64_t records_ = 0;
    std::uint64_t stripped_ = 0, unquantified_ = 0, long_records_ = 0;
    bool last_stripped_ = false;  // the last peptide read had modifications removed
    std::string pending_;  // a line begun in an earlier piece
    bool after_cr_ = false;  // the last piece ended with "\r": a "\n" starting the next one ends nothing
    std::string upper_;

    // Records waiting for the table, each taken a few records after its slot there was asked for, so
    // that the cache misses of consecutive records overlap. None waits past a feed, a fault or a FASTA
    // record.
    static constexpr std::size_t kWaiting = 16;
    struct Waiting {
        std::string text;
        std::uint64_t hash = 0, count = 0;
        std::uint32_t sample = PeptideTable::kNoSample;
    };
    std::array<Waiting, kWaiting> waiting_;
    std::size_t waiting_from_ = 0, waiting_n_ = 0;

    // FASTA: the open record.
    bool record_open_ = false;
    std::uint64_t record_line_ = 0;
    std::string record_name_;
    std::uint64_t record_count_ = 1;  // ";size=N" in the header
    std::string sequence_;
    bool has_sequence_ = false;

    // Table: the row being read, as Python's csv reader reads it.
    enum class Csv { start_record, start_field, in_field, in_quoted, quote_in_quoted };
    Csv csv_ = Csv::start_record;
    std::size_t field_index_ = 0;
    std::size_t field_size_ = 0;
    std::string field_;        // the current field, kept when it is one the row needs
    std::string first_field_;  // a blank single-field row is skipped
    std::string peptide_field_, count_field_, sample_field_;
    bool keep_field_ = false;
};

}  // namespace kelvara
