#include "table/reference.hpp"

#include <algorithm>

#include "table/peptide_table.hpp"
#include "table/text.hpp"

namespace kelvara {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

struct Cluster {
    std::uint32_t centroid;  // peptide index
    std::uint64_t number;
    std::uint64_t line;  // its first row
};

}  // namespace

ReferenceTable read_reference_table(std::string_view data, char separator, std::size_t header_fields,
                                    std::size_t peptide, std::size_t centroid, std::int64_t cluster) {
    ReferenceTable out;
    auto fail = [&](std::uint64_t line, std::string message) {
        out.fault_line = line;
        out.fault = std::move(message);
        out.lengths.clear();
        return out;
    };
    PeptideTable texts;  // peptides and centroids, interned
    std::vector<std::uint32_t> member_of;  // per peptide index: its cluster
    std::vector<Cluster> clusters;
    const std::size_t needed =
        std::max({peptide, centroid, cluster < 0 ? std::size_t{0} : static_cast<std::size_t>(cluster)}) + 1;
    std::vector<std::string_view> fields;
    std::uint64_t line = 1;
    for (std::size_t at = 0; at < data.size();) {
        std::size_t end = data.find('\n', at);
        if (end == std::string_view::npos) end = data.size();
        std::string_view text = data.substr(at, end - at);
        at = end + 1;
        ++line;
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (text::strip(text).empty()) continue;
        fields.clear();
        for (std::size_t from = 0;;) {
            const std::size_t cut = text.find(separator, from);
            fields.push_back(text.substr(from, cut == std::string_view::npos ? std::string_view::npos : cut - from));
            if (cut == std::string_view::npos) break;
            from = cut + 1;
        }
        if (fields.size() < needed)
            return fail(line, std::to_string(fields.size()) + " fields, the header has " + std::to_string(header_fields));
        const std::uint32_t c = texts.intern(fields[centroid]);
        // Clusters are told apart by their number, or in a table without numbers by their centroid.
        std::uint64_t number = clusters.size();
        if (cluster >= 0) {
            const std::string_view key = fields[static_cast<std::size_t>(cluster)];
            if (text::parse_count(key, number) != 0 || number > 0xFFFFFFFEu)
                return fail(line, "cluster number '" + std::string(key) + "' is not a number below 4,294,967,295");
        }
        const bool same = !clusters.empty() && (cluster >= 0 ? clusters.back().number == number : clusters.back().centroid == c);
        if (!same) {
            clusters.push_back({c, number, line});
        } else if (clusters.back().centroid != c) {
            return fail(line, "cluster " + std::to_string(number) + " has two centroids, " +
                                  std::string(texts.peptide(clusters.back().centroid)) + " and " +
                                  std::string(fields[centroid]));
        }
        const std::uint32_t p = texts.intern(fields[peptide]);
        if (member_of.size() < texts.size()) member_of.resize(texts.size(), kNone);
        member_of[p] = static_cast<std::uint32_t>(clusters.size() - 1);
    }
    member_of.resize(texts.size(), kNone);
    // A number, or a centroid, that stands for two runs of rows: listed again after other clusters.
    std::vector<std::uint32_t> by_key(clusters.size());
    for (std::uint32_t k = 0; k < by_key.size(); ++k) by_key[k] = k;
    auto key_of = [&](std::uint32_t k) { return cluster >= 0 ? clusters[k].number : clusters[k].centroid; };
    std::sort(by_key.begin(), by_key.end(),
              [&](std::uint32_t x, std::uint32_t y) { return key_of(x) != key_of(y) ? key_of(x) < key_of(y) : x < y; });
    for (std::size_t j = 1; j < by_key.size(); ++j) {
        if (key_of(by_key[j]) != key_of(by_key[j - 1])) continue;
        const Cluster& again = clusters[by_key[j]];
        const std::string what = cluster >= 0 ? std::to_string(again.number) : std::string(texts.peptide(again.centroid));
        return fail(again.line, "cluster " + what + " is listed again after other clusters");
    }
    std::vector<bool> centroid_taken(texts.size(), false);
    for (std::size_t k = 0; k < clusters.size(); ++k) {
        const Cluster& cl = clusters[k];
        const std::string_view text = texts.peptide(cl.centroid);
        if (text.empty() || !text::is_upper_letters(text))
            return fail(cl.line, "centroid '" + std::string(text) + "' is not a peptide (upper-case letters)");
        const std::uint32_t home = member_of[cl.centroid];
        if (home != kNone && home != k)
            return fail(cl.line, "centroid " + std::string(text) + " of cluster " + std::to_string(cl.number) +
                                     " is a member of cluster " + std::to_string(clusters[home].number));
        if (centroid_taken[cl.centroid]) return fail(cl.line, "centroid " + std::string(text) + " stands for two clusters");
        centroid_taken[cl.centroid] = true;
        ReferenceTable::Length& l = out.lengths[text.size()];
        l.centroids.append(text);
        l.numbers.push_back(cl.number);
    }
    out.clusters = clusters.size();
    return out;
}

}  // namespace kelvara
