#include "table/text_reader.hpp"

#include <algorithm>

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
    fault_.kind = kind;
    fault_.line = at;
    fault_.text.assign(text.substr(0, kExcerptBytes));
    fault_.text_size = text.size();
    fault_.fields = fields;
    failed_ = true;
    return false;
}

bool TextReader::feed(std::string_view data) {
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

bool TextReader::peptide(std::string_view field, std::uint64_t at, std::uint32_t& index) {
    const std::string_view s = text::strip(field);
    if (s.empty()) return fail(FaultKind::empty_peptide, at);
    if (text::is_upper_letters(s)) {
        index = table_.intern(s);
        return true;
    }
    if (!text::is_letters(s)) return fail(FaultKind::not_peptide, at, s);
    upper_.assign(s);
    for (char& ch : upper_)
        if (ch >= 'a') ch = static_cast<char>(ch - 'a' + 'A');
    index = table_.intern(upper_);
    return true;
}

bool TextReader::count(std::string_view field, std::uint64_t at, std::uint64_t& value) {
    const std::string_view s = text::strip(field);
    switch (text::parse_count(s, value)) {
        case 0:
            return true;
        case 2:
            return fail(FaultKind::count_too_large, at, s);
        default:
            return fail(FaultKind::count_not_integer, at, s);
    }
}

bool TextReader::list_line(std::string_view text) {
    if (text::strip(text).empty()) return true;
    std::uint32_t i;
    if (!peptide(text, line_, i)) return false;
    table_.add(i, 1);
    ++records_;
    return true;
}

bool TextReader::counts_line(std::string_view text) {
    if (text::strip(text).empty()) return true;
    const std::size_t cut = text.find(layout_.separator);
    if (cut == std::string_view::npos || text.find(layout_.separator, cut + 1) != std::string_view::npos) {
        const auto n = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), layout_.separator)) + 1;
        return fail(FaultKind::fields, line_, {}, n);
    }
    std::uint32_t i;
    std::uint64_t c;
    if (!peptide(text.substr(0, cut), line_, i) || !count(text.substr(cut + 1), line_, c)) return false;
    table_.add(i, c);
    ++records_;
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
        return true;
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
    std::uint32_t i;
    if (!peptide(sequence_, record_line_, i)) return false;
    table_.add(i, 1);
    table_.add_record(i, record_name_);
    ++records_;
    return true;
}

// Python's csv reader with the default dialect (quote '"', doubled quotes, not strict), fed the input's
// lines without their ends: a quoted field runs on over line ends, which it drops.
bool TextReader::table_line(std::string_view text) {
    const char delimiter = layout_.separator;
    auto save_field = [&] {
        if (field_index_ == 0) first_field_ = field_;
        if (field_index_ == layout_.column) peptide_field_ = field_;
        if (layout_.count_column >= 0 && field_index_ == static_cast<std::size_t>(layout_.count_column))
            count_field_ = field_;
        ++field_index_;
        field_.clear();
        field_size_ = 0;
        keep_field_ = field_index_ == 0 || field_index_ == layout_.column ||
                      (layout_.count_column >= 0 && field_index_ == static_cast<std::size_t>(layout_.count_column));
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
    if (field_index_ == layout_.column) peptide_field_ = field_;
    if (layout_.count_column >= 0 && field_index_ == static_cast<std::size_t>(layout_.count_column))
        count_field_ = field_;
    const std::size_t n = field_index_ + 1;
    if (n == 1 && text::strip(first_field_).empty()) return true;
    const std::size_t needed =
        std::max(layout_.column, layout_.count_column < 0 ? 0 : static_cast<std::size_t>(layout_.count_column)) + 1;
    if (n < needed) return fail(FaultKind::fields, line_, {}, n);
    std::uint32_t i;
    std::uint64_t c = 1;
    if (!peptide(peptide_field_, line_, i)) return false;
    if (layout_.count_column >= 0 && !count(count_field_, line_, c)) return false;
    table_.add(i, c);
    ++records_;
    return true;
}

}  // namespace kelvara
