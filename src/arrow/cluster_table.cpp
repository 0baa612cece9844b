#include "arrow/cluster_table.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace kelvara::arrow {

namespace {

// Writes a peptide at `at`, most often 8 to 16 bytes: two overlapping fixed-size copies instead of a call
// per row. `out` has room for it.
inline std::size_t put(char* out, std::size_t at, std::string_view text) {
    const std::size_t n = text.size();
    if (n >= 8 && n <= 16) {
        std::memcpy(out + at, text.data(), 8);
        std::memcpy(out + at + n - 8, text.data() + n - 8, 8);
    } else {
        std::memcpy(out + at, text.data(), n);
    }
    return at + n;
}

// Every column in one pass over the rows: the rows visit the peptides in cluster order, far from table
// order, and one visit per row finds each peptide's text, count and similarity together.
template <class Offset>
void fill(Table& out, const PeptideTable& table, const Assignment& a, const ClusterOrder& order,
          std::size_t peptide_bytes, std::size_t centroid_bytes, bool wide) {
    const std::size_t rows = order.rows.size();
    std::string peptides(peptide_bytes, '\0'), centroids(centroid_bytes, '\0');
    std::size_t peptides_end = 0, centroids_end = 0;
    std::vector<Offset> peptide_at(rows + 1, 0), centroid_at(rows + 1, 0);
    std::vector<std::uint32_t> lengths(rows), clusters(rows), members(rows);
    std::vector<std::uint64_t> counts(rows), totals(wide ? 2 * rows : rows);
    std::vector<double> similarity(rows);
    for (std::size_t k = 0; k < rows; ++k) {
        const std::uint32_t p = order.rows[k];
        const std::uint32_t number = order.row_cluster[k];
        const auto& cluster = order.clusters[number];
        const std::string_view text = table.peptide(p);
        peptides_end = put(peptides.data(), peptides_end, text);
        peptide_at[k + 1] = static_cast<Offset>(peptides_end);
        lengths[k] = static_cast<std::uint32_t>(text.size());
        counts[k] = table.count(p);
        clusters[k] = static_cast<std::uint32_t>(cluster.number);
        centroids_end = put(centroids.data(), centroids_end, table.peptide(cluster.centroid));
        centroid_at[k + 1] = static_cast<Offset>(centroids_end);
        similarity[k] = a.similarity[p];
        members[k] = cluster.members;
        if (wide) {
            // decimal128: little-endian two's complement, 16 bytes a value; every possible sum fits 38 digits.
            totals[2 * k] = static_cast<std::uint64_t>(cluster.total);
            totals[2 * k + 1] = static_cast<std::uint64_t>(cluster.total >> 64);
        } else {
            totals[k] = static_cast<std::uint64_t>(cluster.total);
        }
    }
    const char* strings = sizeof(Offset) == 4 ? "u" : "U";
    out.columns.push_back(Column{"peptide", strings, {nullptr, out.keep(std::move(peptide_at)), out.keep(std::move(peptides))}});
    out.columns.push_back(Column{"length", "I", {nullptr, out.keep(std::move(lengths))}});
    out.columns.push_back(Column{"count", "L", {nullptr, out.keep(std::move(counts))}});
    out.columns.push_back(Column{"cluster", "I", {nullptr, out.keep(std::move(clusters))}});
    out.columns.push_back(Column{"centroid", strings, {nullptr, out.keep(std::move(centroid_at)), out.keep(std::move(centroids))}});
    out.columns.push_back(Column{"similarity", "g", {nullptr, out.keep(std::move(similarity))}});
    out.columns.push_back(Column{"cluster_members", "I", {nullptr, out.keep(std::move(members))}});
    out.columns.push_back(Column{"cluster_count", wide ? "d:38,0" : "L", {nullptr, out.keep(std::move(totals))}});
    if (order.assigned) {
        // Where each row's cluster came from: "reference" or "new".
        std::string origins;
        std::vector<std::int32_t> origin_at(rows + 1, 0);
        for (std::size_t k = 0; k < rows; ++k) {
            origins += order.clusters[order.row_cluster[k]].reference ? "reference" : "new";
            origin_at[k + 1] = static_cast<std::int32_t>(origins.size());
        }
        out.columns.push_back(Column{"origin", "u", {nullptr, out.keep(std::move(origin_at)), out.keep(std::move(origins))}});
    }
}

}  // namespace

std::shared_ptr<const Table> cluster_table(const PeptideTable& table, const Assignment& a, const ClusterOrder& order) {
    auto out = std::make_shared<Table>();
    out->rows = static_cast<std::int64_t>(order.rows.size());
    // The sizes of the string columns, found without visiting the rows.
    std::size_t peptide_bytes = 0, centroid_bytes = 0;
    bool wide = false;
    for (const auto& c : order.clusters) {
        centroid_bytes += static_cast<std::size_t>(c.members) * table.length(c.centroid);
        wide = wide || c.total > std::numeric_limits<std::uint64_t>::max();
    }
    for (std::size_t i = 0; i < table.size(); ++i)
        if (i < a.centroid.size() && a.centroid[i] != kUnclustered) peptide_bytes += table.length(i);
    constexpr auto kNarrow = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    // One string type for both columns: their data sit side by side in every batch.
    if (peptide_bytes <= kNarrow && centroid_bytes <= kNarrow)
        fill<std::int32_t>(*out, table, a, order, peptide_bytes, centroid_bytes, wide);
    else
        fill<std::int64_t>(*out, table, a, order, peptide_bytes, centroid_bytes, wide);
    return out;
}

}  // namespace kelvara::arrow
