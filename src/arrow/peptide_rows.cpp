#include "arrow/peptide_rows.hpp"

#include <algorithm>
#include <memory>

#include "table/text.hpp"

namespace kelvara::arrow {

namespace {

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::string listed(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t k = 0; k < names.size() && k < 12; ++k) out += (k > 0 ? ", '" : "'") + names[k] + "'";
    if (names.size() > 12) out += ", ...";
    return out;
}

// The column named exactly `wanted`, else the only one named so in another case; -1 when there is none.
std::int64_t find_column(const std::vector<std::string>& names, std::string_view wanted) {
    const auto exact = std::find(names.begin(), names.end(), wanted);
    if (exact != names.end()) return exact - names.begin();
    std::int64_t found = -1;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (!same_ignoring_case(names[k], wanted)) continue;
        if (found >= 0) {
            throw Error("the table has columns '" + names[found] + "' and '" + names[k] + "'; name the one to read");
        }
        found = static_cast<std::int64_t>(k);
    }
    return found;
}

std::int64_t peptide_column(const std::vector<std::string>& names, const std::string* wanted) {
    if (wanted != nullptr) {
        const std::int64_t k = find_column(names, *wanted);
        if (k < 0) throw Error("the table has no column '" + *wanted + "' (columns: " + listed(names) + ")");
        return k;
    }
    for (const char* candidate : {"peptide", "sequence", "anchor"}) {
        const std::int64_t k = find_column(names, candidate);
        if (k >= 0) return k;
    }
    throw Error("the table has no column named peptide, sequence or anchor (columns: " + listed(names) +
                "); name it with column=");
}

std::int64_t count_column(const std::vector<std::string>& names, const ColumnRequest& request) {
    if (request.counts != nullptr) return -1;
    if (request.count_column != nullptr) {
        const std::int64_t k = find_column(names, *request.count_column);
        if (k < 0)
            throw Error("the table has no column '" + *request.count_column + "' (columns: " + listed(names) + ")");
        return k;
    }
    return find_column(names, "count");
}

// "the peptide column 'x' is int64, not strings", or "peptides are int64, ..." for a column given alone.
std::string column_type_error(const char* what, const std::string& name, bool in_table, const ArrowSchema& schema,
                              const char* wanted) {
    const std::string subject =
        in_table ? "the " + std::string(what) + " column '" + name + "' is " : std::string(what) + "s are ";
    return subject + type_name(schema) + ", not " + wanted;
}

// The rows of one chunk, the first of them row `first_row` of the input.
bool add_chunk(const StringColumn& peptides, const IntegerColumn* counts, std::uint64_t first_row,
               const ColumnRequest& request, RowAdder& adder) {
    const std::int64_t n = peptides.size();
    const auto* given = request.counts;
    if (given != nullptr && first_row + static_cast<std::uint64_t>(n) > given->size())
        return adder.fail(RowFaultKind::counts_short, given->size(), {}, {}, true);
    adder.table().reserve(adder.table().size() + static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        const std::uint64_t row = first_row + static_cast<std::uint64_t>(i);
        // The peptide is checked before its count, as the readers check a line.
        if (peptides.null(i)) return adder.fail(RowFaultKind::null_peptide, row);
        std::uint32_t index;
        if (!adder.intern(row, peptides.value(i), index)) return false;
        std::uint64_t count = 1;
        if (counts != nullptr) {
            if (counts->null(i)) return adder.fail(RowFaultKind::null_count, row);
            if (counts->negative(i))
                return adder.fail(RowFaultKind::negative_count, row, std::to_string(counts->signed_value(i)));
            count = counts->value(i);
        } else if (given != nullptr) {
            count = (*given)[row];
        }
        adder.table().add(index, count);
    }
    return true;
}

}  // namespace

bool RowAdder::fail(RowFaultKind kind, std::uint64_t row, std::string_view text, std::string_view type,
                    bool in_counts) {
    fault_.kind = kind;
    fault_.row = row;
    fault_.text.assign(text.substr(0, kExcerpt));
    fault_.text_size = text.size();
    fault_.type.assign(type);
    fault_.in_counts = in_counts;
    return false;
}

bool RowAdder::intern(std::uint64_t row, std::string_view text, std::uint32_t& index) {
    const std::string_view s = text::strip(text);
    if (s.empty()) return fail(RowFaultKind::empty_peptide, row);
    if (text::is_upper_letters(s)) {
        index = table_.intern(s);
        return true;
    }
    if (!text::is_letters(s)) return fail(RowFaultKind::not_peptide, row, s);
    upper_.assign(s);
    for (char& ch : upper_)
        if (ch >= 'a') ch = static_cast<char>(ch - 'a' + 'A');
    index = table_.intern(upper_);
    return true;
}

bool import_rows(Chunks& chunks, const ColumnRequest& request, RowAdder& adder, ArrowRows& out) {
    const ArrowSchema& schema = chunks.schema();
    out.table = type_of(schema.format) == Type::structure && schema.dictionary == nullptr;
    std::int64_t peptides_at = -1, counts_at = -1;
    if (out.table) {
        const std::vector<std::string> names = column_names(schema);
        peptides_at = peptide_column(names, request.column);
        counts_at = count_column(names, request);
        out.peptide_column = names[peptides_at];
        if (counts_at >= 0) out.count_column = names[counts_at];
        const ArrowSchema& p = *schema.children[peptides_at];
        if (!is_string(type_of(p.dictionary != nullptr ? p.dictionary->format : p.format)))
            throw TypeMismatch(column_type_error("peptide", out.peptide_column, true, p, "strings"));
        if (counts_at >= 0) {
            const ArrowSchema& c = *schema.children[counts_at];
            if (c.dictionary != nullptr || !is_integer(type_of(c.format)))
                throw TypeMismatch(column_type_error("count", out.count_column, true, c, "integers"));
        }
    } else {
        if (request.column != nullptr)
            throw Error("column='" + *request.column + "' names a table's column, and the peptides are a single column");
        if (request.count_column != nullptr)
            throw Error("counts='" + *request.count_column +
                        "' names a table's column, and the peptides are a single column");
        if (!is_string(type_of(schema.dictionary != nullptr ? schema.dictionary->format : schema.format)))
            throw TypeMismatch(column_type_error("peptide", "", false, schema, "strings"));
    }

    std::uint64_t row = 0;
    while (const ArrowArray* chunk = chunks.next()) {
        const Slice all = whole(schema, *chunk);
        if (out.table) {
            const StringColumn peptides(child(all, static_cast<std::size_t>(peptides_at)));
            std::unique_ptr<IntegerColumn> counts;
            if (counts_at >= 0) counts = std::make_unique<IntegerColumn>(child(all, static_cast<std::size_t>(counts_at)));
            if (!add_chunk(peptides, counts.get(), row, request, adder)) return false;
        } else {
            const StringColumn peptides(all);
            if (!add_chunk(peptides, nullptr, row, request, adder)) return false;
        }
        row += static_cast<std::uint64_t>(all.length);
    }
    out.rows = row;
    if (request.counts != nullptr && request.counts->size() != row)
        return adder.fail(RowFaultKind::counts_long, row, std::to_string(request.counts->size()), {}, true);
    return true;
}

bool import_counts(Chunks& chunks, RowAdder& adder, std::vector<std::uint64_t>& out) {
    const ArrowSchema* schema = &chunks.schema();
    bool table = type_of(schema->format) == Type::structure;
    if (table) {
        // A table of one column is that column.
        if (schema->n_children != 1)
            throw Error("counts is a table of " + std::to_string(schema->n_children) + " columns, not one column");
        schema = schema->children[0];
    }
    if (schema->dictionary != nullptr || !is_integer(type_of(schema->format)))
        throw TypeMismatch(column_type_error("count", "", false, *schema, "integers"));
    std::uint64_t row = 0;
    while (const ArrowArray* chunk = chunks.next()) {
        const Slice all = whole(chunks.schema(), *chunk);
        const IntegerColumn counts(table ? child(all, 0) : all);
        out.reserve(out.size() + static_cast<std::size_t>(counts.size()));
        for (std::int64_t i = 0; i < counts.size(); ++i, ++row) {
            if (counts.null(i)) return adder.fail(RowFaultKind::null_count, row, {}, {}, true);
            if (counts.negative(i))
                return adder.fail(RowFaultKind::negative_count, row, std::to_string(counts.signed_value(i)), {}, true);
            out.push_back(counts.value(i));
        }
    }
    return true;
}

}  // namespace kelvara::arrow
