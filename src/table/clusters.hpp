#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "anchors/anchor_table.hpp"
#include "table/peptide_table.hpp"

namespace kelvara {

inline constexpr std::uint32_t kUnclustered = 0xFFFFFFFFu;

// Every clustered peptide's centroid and its similarity to it, by table index; peptides of lengths left
// out keep kUnclustered.
struct Assignment {
    std::vector<std::uint32_t> centroid;
    std::vector<double> similarity;

    explicit Assignment(std::size_t n = 0) : centroid(n, kUnclustered), similarity(n, 0.0) {}
    // Room for peptides added to the table since, keeping what is assigned.
    void grow(std::size_t n) {
        if (centroid.size() >= n) return;
        centroid.resize(n, kUnclustered);
        similarity.resize(n, 0.0);
    }
};

// The clusters of all lengths in the table's order: largest first (most members, then the largest summed
// count, then length, then centroid text), and in each the centroid first, then by count descending, then
// text. After refinement a centroid need not be a member of its own cluster; it is then not listed in it.
struct ClusterOrder {
    struct Cluster {
        std::uint32_t centroid;
        std::uint32_t first_row;
        std::uint32_t members;
        CountSum total;
        std::uint64_t number;  // the cluster's number: its place, or a reference's own number
        bool reference;        // a reference's cluster, which the run's peptides joined
    };
    std::vector<Cluster> clusters;
    bool assigned = false;  // clusters of an assignment to a reference: the table says where each came from
    std::vector<std::uint32_t> rows;        // peptide per row
    std::vector<std::uint32_t> row_cluster;  // cluster per row
};

// With `reference_numbers` (per peptide, the reference cluster number of a reference centroid, or
// kNotReference), the reference's clusters come first, in the order of their numbers and keeping them,
// and the new ones after them, largest first, numbered on from the largest reference number.
inline constexpr std::uint64_t kNotReference = UINT64_MAX;
ClusterOrder order_clusters(const PeptideTable& table, const Assignment& assignment,
                            const std::vector<std::uint64_t>* reference_numbers = nullptr);

// The size order of two clusters: most members, then the largest summed count, then length and text.
bool larger_cluster(const PeptideTable& table, const ClusterOrder::Cluster& x, const ClusterOrder::Cluster& y);

// FASTA records by peptide, in input order within each.
struct RecordIndex {
    std::vector<std::uint32_t> start;    // per peptide, and one past the last
    std::vector<std::uint32_t> records;  // indices into table.records()

    explicit RecordIndex(const PeptideTable& table);
    // The name a peptide goes by: its first record's, or its own text.
    std::string_view name(const PeptideTable& table, std::uint32_t peptide) const;
};

// Every peptide's counts in each sample, found by peptide.
struct SampleIndex {
    const std::vector<PeptideTable::SampleCount>* counts = nullptr;
    std::vector<std::uint32_t> start;  // per peptide, and one past the last, into *counts
    std::size_t samples = 0;

    SampleIndex() = default;
    explicit SampleIndex(PeptideTable& table);
    bool empty() const { return counts == nullptr; }

    // Per sample of one cluster, its summed count and how many of its peptides the sample holds.
    struct Share {
        CountSum count = 0;
        std::uint32_t peptides = 0;
    };
    void shares(const ClusterOrder& order, std::size_t cluster, std::vector<Share>& out) const;
    // Asks for a peptide's place, then (once that has arrived) its counts: see PeptideTable::prefetch.
    void prefetch(std::uint32_t peptide) const { __builtin_prefetch(start.data() + peptide); }
    void prefetch_counts(std::uint32_t peptide) const { __builtin_prefetch(counts->data() + start[peptide]); }
};

// Text outputs, made in pieces: each call appends rows (or clusters) from `from` on until `out` holds at
// least `budget` bytes or everything is done, and returns where the next call goes on. `samples` is the
// cluster-by-sample table: per cluster its number, centroid, length, members and summed count, then per
// sample the summed count and the peptides seen in it.
enum class Output { tsv, csv, clstr, centroids, samples };
struct Outputs {
    const PeptideTable& table;
    const Assignment& assignment;
    const ClusterOrder& order;
    const RecordIndex& records;
    const SampleIndex& samples;
};
std::size_t render(Output kind, const Outputs& outputs, std::size_t from, std::size_t budget, std::string& out);
// Rows for Output::tsv and csv, clusters for clstr and centroids.
std::size_t render_units(Output kind, const ClusterOrder& order);

// A number as Python's repr() writes a float: the shortest text that reads back as the same double.
void append_float(std::string& out, double value);
void append_sum(std::string& out, CountSum value);

}  // namespace kelvara
