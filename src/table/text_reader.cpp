#include "table/text_reader.hpp"

#include <algorithm>

#include "table/fields.hpp"
#include "table/text.hpp"

namespace kelvara {

namespace {

// The first line end at or after `from`, or npos.
std::size_t line_end(std::string_view data, std::size_t from) {
    for (std::size_t i = from; i < data.size(); ++i)
        if (data[i] == '\n' || data[i] == '\r') return i;
    return std::string_view::npos;
}

// The header's first word: what follows '>' up to the first whitespace.
std::string_view first_word(std::string_view header) {
    std::size_t i = 0;
    while (i < header.size()) {
        const std::size_t n = text::space_at(header, i);
        if (n == 0) break;
        i += n;
    }
    std::size_t end = i;
    while (end < header.size() && text::space_at(header, end) == 0) ++end;
    return header.substr(i, end - i);
}

}  // namespace

bool TextReader::fail(FaultKind kind, std::uint64_t at, std::string_view text, std::uint64_t fields) {
    settle();  // what came before the fault stays read
    fault_.kind = kind;
    fault_.line = at;
    fault_.text.assign(text.substr(0, kExcerptBytes));
    fault_.text_size = text.size();
    fault_.fields = fields;
    failed_ = true;
    return false;
}

bool TextReader::feed(std::string_view data) {
    const bool ok = feed_lines(data);
    settle();
    return ok;
}

bool TextReader::feed_lines(std::string_view data) {
    if (failed_) return false;
    std::size_t i = 0;
    if (after_cr_) {
        after_cr_ = false;
        if (!data.empty() && data[0] == '\n') i = 1;
    }
    while (i < data.size()) {
        const std::size_t end = line_end(data, i);
        const std::size_t piece = (end == std::string_view::npos ? data.size() : end) - i;
        if (pending_.size() + piece > kMaxLineBytes) return fail(FaultKind::line_too_long, line_ + 1);
        if (end == std::string_view::npos) {
            pending_.append(data.substr(i));
            break;
        }
        bool ok;
        if (pending_.empty()) {
            ok = line(data.substr(i, piece));
        } else {
            pending_.append(data.substr(i, piece));
            ok = line(pending_);
            pending_.clear();
        }
        if (!ok) return false;
        i = end + 1;
        if (data[end] == '\r') {
            if (i < data.size()) {
                if (data[i] == '\n') ++i;
            } else {
                after_cr_ = true;
            }
        }
    }
    return true;
}

bool TextReader::finish() {
    const bool ok = finish_input();
    settle();
    return ok;
}

bool TextReader::finish_input() {
    if (failed_) return false;
    if (!pending_.empty()) {
        std::string last;
        last.swap(pending_);
        if (!line(last)) return false;
    }
    switch (layout_.kind) {
        case InputKind::fasta:
            return close_record();
        case InputKind::table:
            // A quoted field still open at the end closes the row, as the csv reader has it.
            if (csv_ == Csv::in_quoted) return end_row();
            return true;
        default:
            return true;
    }
}

bool TextReader::line(std::string_view text) {
    ++line_;
    if (line_ <= layout_.skip_through) return true;
    switch (layout_.kind) {
        case InputKind::counts:
            return counts_line(text);
        case InputKind::list:
            return list_line(text);
        case InputKind::fasta:
            return fasta_line(text);
        case InputKind::table:
            return table_line(text);
    }
    return true;
}

// Peptides longer than this are proteins, most likely.
constexpr std::size_t kLongRecord = 30;

std::uint32_t TextReader::take(std::string_view text, std::uint64_t count, std::uint32_t sample) {
    settle();
    const std::uint32_t peptide = table_.intern(text);
    table_.add(peptide, count);
    if (sample != PeptideTable::kNoSample) table_.add_to_sample(peptide, sample, count);
    ++records_;
    stripped_ += last_stripped_;
    long_records_ += text.size() > kLongRecord;
    return peptide;
}

void TextReader::take_later(std::string_view text, std::uint64_t count, std::uint32_t sample) {
    if (waiting_n_ == kWaiting) take_waiting();
    Waiting& w = waiting_[(waiting_from_ + waiting_n_) % kWaiting];
    w.text.assign(text);
    w.hash = PeptideTable::hash_of(text);
    w.count = count;
    w.sample = sample;
    table_.prefetch_slot(w.hash);
    ++waiting_n_;
    ++records_;
    stripped_ += last_stripped_;
    long_records_ += text.size() > kLongRecord;
}

void TextReader::take_waiting() {
    const Waiting& w = waiting_[waiting_from_];
    const std::uint32_t peptide = table_.intern(w.text, w.hash);
    table_.add(peptide, w.count);
    if (w.sample != PeptideTable::kNoSample) table_.add_to_sample(peptide, w.sample, w.count);
    waiting_from_ = (waiting_from_ + 1) % kWaiting;
    --waiting_n_;
}

void TextReader::settle() {
    while (waiting_n_ != 0) take_waiting();
}

bool TextReader::peptide(std::string_view field, std::uint64_t at, std::string_view& out) {
    const std::string_view s = text::strip(field);
    last_stripped_ = false;
    if (s.empty()) return fail(FaultKind::empty_peptide, at);
    if (text::is_upper_letters(s)) {
        out = s;
        return true;
    }
    if (!text::is_letters(s)) {
        if (!layout_.strip_modifications) return fail(FaultKind::not_peptide, at, s);
        const fields::Stripped stripped = fields::strip_modifications(s, upper_);
        if (!stripped.ok || upper_.empty() || !text::is_upper_letters(upper_))
            return fail(upper_.empty() && stripped.ok ? FaultKind::empty_peptide : FaultKind::not_peptide, at, s);
        last_stripped_ = stripped.changed;
        out = upper_;
        return true;
    }
    upper_.assign(s);
    for (char& ch : upper_)
        if (ch >= 'a') ch = static_cast<char>(ch - 'a' + 'A');
    out = upper_;
    return true;
}

int TextReader::count(std::string_view field, std::uint64_t at, std::uint64_t& value) {
    const std::string_view s = text::strip(field);
    if (layout_.intensity) {
        switch (fields::parse_intensity(s, value)) {
            case fields::Intensity::ok:
                return 1;
            case fields::Intensity::not_quantified:
                ++unquantified_;
                return -1;
            case fields::Intensity::too_large:
                return fail(FaultKind::count_too_large, at, s);
            case fields::Intensity::negative:
                return fail(FaultKind::intensity_negative, at, s);
            case fields::Intensity::infinite:
                return fail(FaultKind::intensity_infinite, at, s);
            case fields::Intensity::not_number:
                return fail(FaultKind::intensity_not_number, at, s);
        }
    }
    switch (text::parse_count(s, value)) {
        case 0:
            return 1;
        case 2:
            return fail(FaultKind::count_too_large, at, s);
        default:
            return fail(FaultKind::count_not_integer, at, s);
    }
}

bool TextReader::list_line(std::string_view text) {
    if (text::strip(text).empty()) return true;
    std::string_view p;
    if (!peptide(text, line_, p)) return false;
    take_later(p, 1, layout_.sample);
    return true;
}

bool TextReader::counts_line(std::string_view text) {
    const std::string_view stripped = text::strip(text);
    if (stripped.empty()) return true;
    std::string_view first, second;
    if (layout_.whitespace) {
        // Fields apart by runs of whitespace: exactly two of them.
        std::size_t end = 0;
        while (end < stripped.size() && text::space_at(stripped, end) == 0) ++end;
        const std::string_view rest = text::strip(stripped.substr(end));
        std::size_t n = rest.empty() ? 1 : 2;
        for (std::size_t k = 0; k < rest.size();) {
            const std::size_t w = text::space_at(rest, k);
            if (w == 0) {
                ++k;
                continue;
            }
            k += w;
            while (k < rest.size() && text::space_at(rest, k) != 0) k += text::space_at(rest, k);
            ++n;
        }
        if (n != 2) return fail(FaultKind::fields, line_, {}, n);
        first = stripped.substr(0, end);
        second = rest;
    } else {
        const std::size_t cut = text.find(layout_.separator);
        if (cut == std::string_view::npos || text.find(layout_.separator, cut + 1) != std::string_view::npos) {
            const auto n = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), layout_.separator)) + 1;
            return fail(FaultKind::fields, line_, {}, n);
        }
        first = text.substr(0, cut);
        second = text.substr(cut + 1);
    }
    std::string_view p;
    std::uint64_t c;
    if (!peptide(first, line_, p)) return false;
    const int got = count(second, line_, c);
    if (got == 0) return false;
    if (got > 0) take_later(p, c, layout_.sample);
    return true;
}

bool TextReader::fasta_line(std::string_view text) {
    const std::string_view s = text::strip(text);
    if (!s.empty() && s.front() == '>') {
        if (!close_record()) return false;
        record_open_ = true;
        record_line_ = line_;
        record_name_.assign(first_word(s.substr(1)));
        sequence_.clear();
        has_sequence_ = false;
        return record_size();
    }
    if (s.empty()) return true;
    if (!record_open_) return fail(FaultKind::sequence_first, line_);
    has_sequence_ = true;
    text::append_without_space(sequence_, s);
    if (sequence_.size() > kMaxLineBytes) return fail(FaultKind::record_too_long, record_line_);
    return true;
}

bool TextReader::close_record() {
    if (!record_open_) return true;
    record_open_ = false;
    if (!has_sequence_) return fail(FaultKind::no_sequence, record_line_);
    std::string_view p;
    if (!peptide(sequence_, record_line_, p)) return false;
    table_.add_record(take(p, record_count_, layout_.sample), record_name_);
    return true;
}

// ";size=N" (or "size=N;") in the name, as dereplicating tools write the number of copies a record
// stands for: the record's count.
bool TextReader::record_size() {
    record_count_ = 1;
    const std::string_view name = record_name_;
    for (std::size_t at = name.find("size="); at != std::string_view::npos; at = name.find("size=", at + 1)) {
        if (at != 0 && name[at - 1] != ';') continue;
        const std::size_t from = at + 5;
        std::size_t end = from;
        while (end < name.size() && name[end] != ';') ++end;
        const std::string_view digits = name.substr(from, end - from);
        std::uint64_t value = 0;
        const int parsed = text::parse_count(digits, value);
        if (parsed == 1) continue;  // not a size, just a name that looks like one
        if (parsed == 2) return fail(FaultKind::count_too_large, line_, digits);
        record_count_ = value;
        return true;
    }
    return true;
}

// Python's csv reader with the default dialect (quote '"', doubled quotes, not strict), fed the input's
// lines without their ends: a quoted field runs on over line ends, which it drops.
bool TextReader::table_line(std::string_view text) {
    const char delimiter = layout_.separator;
    auto save_field = [&] {
        if (field_index_ == 0) first_field_ = field_;
        keep(field_index_);
        ++field_index_;
        field_.clear();
        field_size_ = 0;
        keep_field_ = wanted(field_index_);
    };
    auto add = [&](char ch) {
        if (++field_size_ > kMaxFieldBytes) return false;
        if (keep_field_) field_.push_back(ch);
        return true;
    };
    if (csv_ == Csv::start_record) {
        if (text.empty()) return true;  // an empty row
        field_index_ = 0;
        field_.clear();
        field_size_ = 0;
        keep_field_ = true;
        first_field_.clear();
        peptide_field_.clear();
        count_field_.clear();
        sample_field_.clear();
        csv_ = Csv::start_field;
    }
    for (const char ch : text) {
        bool ok = true;
        switch (csv_) {
            case Csv::start_record:
            case Csv::start_field:
                if (ch == '"') {
                    csv_ = Csv::in_quoted;
                } else if (ch == delimiter) {
                    save_field();
                } else {
                    ok = add(ch);
                    csv_ = Csv::in_field;
                }
                break;
            case Csv::in_field:
                if (ch == delimiter) {
                    save_field();
                    csv_ = Csv::start_field;
                } else {
                    ok = add(ch);
                }
                break;
            case Csv::in_quoted:
                if (ch == '"') csv_ = Csv::quote_in_quoted;
                else ok = add(ch);
                break;
            case Csv::quote_in_quoted:
                if (ch == '"') {
                    ok = add('"');
                    csv_ = Csv::in_quoted;
                } else if (ch == delimiter) {
                    save_field();
                    csv_ = Csv::start_field;
                } else {
                    ok = add(ch);
                    csv_ = Csv::in_field;
                }
                break;
        }
        if (!ok) return fail(FaultKind::field_too_long, line_);
    }
    if (csv_ == Csv::in_quoted) return true;
    return end_row();
}

bool TextReader::end_row() {
    csv_ = Csv::start_record;
    // Fields are saved as they end; the last one ends with the row.
    if (field_index_ == 0) first_field_ = field_;
    keep(field_index_);
    const std::size_t n = field_index_ + 1;
    if (n == 1 && text::strip(first_field_).empty()) return true;
    std::size_t needed = layout_.column + 1;
    for (const std::int64_t c : {layout_.count_column, layout_.sample_column})
        if (c >= 0) needed = std::max(needed, static_cast<std::size_t>(c) + 1);
    if (n < needed) return fail(FaultKind::fields, line_, {}, n);
    std::string_view p;
    std::uint64_t c = 1;
    if (!peptide(peptide_field_, line_, p)) return false;
    if (layout_.count_column >= 0) {
        const int got = count(count_field_, line_, c);
        if (got <= 0) return got < 0;
    }
    std::uint32_t sample = layout_.sample;
    if (layout_.sample_column >= 0) {
        const std::string_view name = text::strip(sample_field_);
        if (name.empty()) return fail(FaultKind::empty_sample, line_);
        sample = table_.sample_id(name);
    }
    take_later(p, c, sample);
    return true;
}

bool TextReader::wanted(std::size_t field) const {
    auto is = [&](std::int64_t column) { return column >= 0 && field == static_cast<std::size_t>(column); };
    return field == 0 || field == layout_.column || is(layout_.count_column) || is(layout_.sample_column);
}

void TextReader::keep(std::size_t field) {
    auto is = [&](std::int64_t column) { return column >= 0 && field == static_cast<std::size_t>(column); };
    if (field == layout_.column) peptide_field_ = field_;
    if (is(layout_.count_column)) count_field_ = field_;
    if (is(layout_.sample_column)) sample_field_ = field_;
}

}  // namespace kelvara
