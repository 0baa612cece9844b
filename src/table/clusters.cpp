#include "table/clusters.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace kelvara {

ClusterOrder order_clusters(const PeptideTable& table, const Assignment& a) {
    const std::size_t n = table.size();
    // Members grouped by centroid with a counting sort, each group in table order.
    std::vector<std::uint32_t> start(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (a.centroid[i] != kUnclustered) ++start[a.centroid[i] + 1];
    for (std::size_t c = 0; c < n; ++c) start[c + 1] += start[c];
    std::vector<std::uint32_t> grouped(start[n]);
    {
        std::vector<std::uint32_t> at(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            if (a.centroid[i] != kUnclustered) grouped[at[a.centroid[i]]++] = static_cast<std::uint32_t>(i);
    }

    ClusterOrder out;
    const auto& counts = table.counts();
    for (std::size_t c = 0; c < n; ++c) {
        const std::uint32_t size = start[c + 1] - start[c];
        if (size == 0) continue;
        CountSum total = 0;
        for (std::uint32_t k = start[c]; k < start[c + 1]; ++k) total += counts[grouped[k]];
        out.clusters.push_back({static_cast<std::uint32_t>(c), start[c], size, total});
        if (size > 1) {
            std::sort(grouped.begin() + start[c], grouped.begin() + start[c + 1],
                      [&](std::uint32_t x, std::uint32_t y) {
                          if ((x != c) != (y != c)) return x == c;
                          if (counts[x] != counts[y]) return counts[x] > counts[y];
                          return table.peptide(x) < table.peptide(y);
                      });
        }
    }
    std::sort(out.clusters.begin(), out.clusters.end(), [&](const auto& x, const auto& y) {
        if (x.members != y.members) return x.members > y.members;
        if (x.total != y.total) return x.total > y.total;
        const std::size_t lx = table.length(x.centroid), ly = table.length(y.centroid);
        if (lx != ly) return lx < ly;
        return table.peptide(x.centroid) < table.peptide(y.centroid);
    });
    out.rows.reserve(grouped.size());
    out.row_cluster.reserve(grouped.size());
    for (std::size_t k = 0; k < out.clusters.size(); ++k) {
        auto& cluster = out.clusters[k];
        const std::uint32_t from = cluster.first_row;
        cluster.first_row = static_cast<std::uint32_t>(out.rows.size());
        out.rows.insert(out.rows.end(), grouped.begin() + from, grouped.begin() + from + cluster.members);
        out.row_cluster.insert(out.row_cluster.end(), cluster.members, static_cast<std::uint32_t>(k));
    }
    return out;
}

namespace {

template <class T>
void append_int(std::string& out, T value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void append_identity(std::string& out, std::string_view a, std::string_view b) {
    std::size_t same = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) same += a[i] == b[i];
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%.2f", 100.0 * static_cast<double>(same) / static_cast<double>(a.size()));
    out.append(buf, static_cast<std::size_t>(n));
}

}  // namespace

RecordIndex::RecordIndex(const PeptideTable& table) {
    const auto& all = table.records();
    if (all.empty()) return;
    start.assign(table.size() + 1, 0);
    for (const auto& r : all) ++start[r.peptide + 1];
    for (std::size_t i = 0; i < table.size(); ++i) start[i + 1] += start[i];
    records.resize(all.size());
    std::vector<std::uint32_t> at(start.begin(), start.end() - 1);
    for (std::size_t k = 0; k < all.size(); ++k) records[at[all[k].peptide]++] = static_cast<std::uint32_t>(k);
}

std::string_view RecordIndex::name(const PeptideTable& table, std::uint32_t peptide) const {
    if (start.empty() || start[peptide] == start[peptide + 1]) return table.peptide(peptide);
    return table.record_name(table.records()[records[start[peptide]]]);
}

void append_sum(std::string& out, CountSum value) {
    char buf[40];
    char* p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    out.append(p, buf + sizeof buf);
}

void append_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    std::string_view sign;
    if (s.front() == '-') sign = "-", s.remove_prefix(1);
    const std::size_t e_at = s.find('e');
    std::string digits;
    for (char ch : s.substr(0, e_at))
        if (ch != '.') digits.push_back(ch);
    int exponent = 0;
    std::from_chars(s.data() + e_at + 1 + (s[e_at + 1] == '+'), s.data() + s.size(), exponent);
    out += sign;
    if (exponent >= -4 && exponent < 16) {
        const int point = exponent + 1;  // digits before the decimal point
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-point), '0');
            out += digits;
        } else if (static_cast<std::size_t>(point) >= digits.size()) {
            out += digits;
            out.append(static_cast<std::size_t>(point) - digits.size(), '0');
            out += ".0";
        } else {
            out.append(digits, 0, static_cast<std::size_t>(point));
            out += '.';
            out.append(digits, static_cast<std::size_t>(point));
        }
    } else {
        out += digits[0];
        if (digits.size() > 1) out.append(".").append(digits, 1);
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out += '0';
        append_int(out, magnitude);
    }
}

std::size_t render_units(Output kind, const ClusterOrder& order) {
    return kind == Output::tsv || kind == Output::csv ? order.rows.size() : order.clusters.size();
}

std::size_t render(Output kind, const PeptideTable& table, const Assignment& a, const ClusterOrder& order,
                   const RecordIndex& records, std::size_t from, std::size_t budget, std::string& out) {
    const std::size_t units = render_units(kind, order);
    std::size_t k = from;
    if (kind == Output::tsv || kind == Output::csv) {
        const char sep = kind == Output::tsv ? '\t' : ',';
        for (; k < units && out.size() < budget; ++k) {
            const std::uint32_t p = order.rows[k];
            const std::uint32_t number = order.row_cluster[k];
            const auto& cluster = order.clusters[number];
            out += table.peptide(p);
            out += sep;
            append_int(out, table.length(p));
            out += sep;
            append_int(out, table.count(p));
            out += sep;
            append_int(out, number);
            out += sep;
            out += table.peptide(cluster.centroid);
            out += sep;
            append_float(out, a.similarity[p]);
            out += sep;
            append_int(out, cluster.members);
            out += sep;
            append_sum(out, cluster.total);
            out += '\n';
        }
        return k;
    }
    if (kind == Output::centroids) {
        for (; k < units && out.size() < budget; ++k) {
            const auto& cluster = order.clusters[k];
            out += '>';
            out += records.name(table, cluster.centroid);
            out += " cluster=";
            append_int(out, k);
            out += " members=";
            append_int(out, cluster.members);
            out += " count=";
            append_sum(out, cluster.total);
            out += '\n';
            out += table.peptide(cluster.centroid);
            out += '\n';
        }
        return k;
    }
    // .clstr: CD-HIT's layout. Peptides read from FASTA are listed once per record, under the record's
    // name, as CD-HIT lists every sequence; other peptides under their own text.
    for (; k < units && out.size() < budget; ++k) {
        const auto& cluster = order.clusters[k];
        const std::string_view centroid = table.peptide(cluster.centroid);
        out += ">Cluster ";
        append_int(out, k);
        out += '\n';
        std::size_t entry = 0;
        for (std::uint32_t r = cluster.first_row; r < cluster.first_row + cluster.members; ++r) {
            const std::uint32_t p = order.rows[r];
            const std::string_view peptide = table.peptide(p);
            const std::uint32_t first = records.start.empty() ? 0 : records.start[p];
            const std::uint32_t last = records.start.empty() ? 0 : records.start[p + 1];
            const std::size_t names = first == last ? 1 : last - first;
            for (std::size_t j = 0; j < names; ++j) {
                append_int(out, entry++);
                out += '\t';
                append_int(out, peptide.size());
                out += "aa, >";
                out += first == last ? peptide : table.record_name(table.records()[records.records[first + j]]);
                out += "... ";
                if (p == cluster.centroid && j == 0) {
                    out += '*';
                } else {
                    out += "at ";
                    append_identity(out, peptide, centroid);
                    out += '%';
                }
                out += '\n';
            }
        }
    }
    return k;
}

}  // namespace kelvara
