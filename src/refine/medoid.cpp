#include "refine/medoid.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>

namespace kelvara {

void cluster_members(const std::vector<std::size_t>& assignment, const std::vector<std::size_t>& by_text,
                     ClusterMembers& out, std::vector<std::size_t>& slot) {
    const std::size_t n = assignment.size();
    slot.assign(n, 0);  // member count, then the cluster index of each centroid
    for (std::size_t c : assignment) ++slot[c];

    // offsets[k + 1] starts as where cluster k begins and is moved past each member placed: once all are,
    // it is where the cluster ends.
    out.centroids.clear();
    out.offsets.assign(1, 0);
    std::size_t start = 0;
    for (std::size_t c = 0; c < n; ++c) {
        if (slot[c] == 0) continue;
        out.offsets.push_back(start);
        start += slot[c];
        slot[c] = out.centroids.size();
        out.centroids.push_back(c);
    }
    out.members.resize(n);
    for (std::size_t i : by_text) out.members[out.offsets[slot[assignment[i]] + 1]++] = i;
}

namespace {

// Strict maximum in list order: the first of equal scores stays, NaN never wins.
struct Best {
    double score = -std::numeric_limits<double>::infinity();
    std::size_t index;

    void offer(std::size_t c, double s) {
        if (s > score) {
            score = s;
            index = c;
        }
    }
};

}  // namespace

std::size_t medoid_exact(const SimTables& tables, const std::uint8_t* residues, const std::uint64_t* counts,
                         std::span<const std::size_t> members, std::size_t current) {
    const std::size_t len = tables.anchor_len;
    const std::size_t k = members.size();

    // Member residue codes permuted into summing order, so the inner loop reads them sequentially.
    std::vector<std::uint8_t> ordered(k * len);
    for (std::size_t j = 0; j < k; ++j) {
        const std::uint8_t* r = residues + members[j] * len;
        for (std::size_t q = 0; q < len; ++q) ordered[j * len + q] = tables.residue_code[r[tables.order[q]]];
    }
    std::vector<const double*> rows(len);

    Best best{.index = current};
    for (std::size_t ci = 0; ci < k; ++ci) {
        const std::size_t c = members[ci];
        for (std::size_t q = 0; q < len; ++q) rows[q] = tables.row(tables.order[q], ordered[ci * len + q]);

        double numerator = 0.0;
        double denominator = 0.0;
        for (std::size_t mi = 0; mi < k; ++mi) {
            const std::size_t m = members[mi];
            if (m == c) continue;
            const std::uint8_t* b = ordered.data() + mi * len;
            double s = 0.0;
            for (std::size_t q = 0; q < len; ++q) s = s + rows[q][b[q]];
            const double w = static_cast<double>(counts[m]);
            numerator = numerator + s * w;
            denominator = denominator + w;
        }
        best.offer(c, denominator > 0.0 ? numerator / denominator : 0.0);
    }
    return best.index;
}

std::size_t medoid_fast(const SimTables& tables, const std::uint8_t* residues, const std::uint64_t* counts,
                        std::span<const std::size_t> members, std::size_t current) {
    const std::size_t len = tables.anchor_len;

    CountSum total = 0;
    for (std::size_t m : members) total += counts[m];
    const double whole = static_cast<double>(total);

    // contrib[p * 128 + a]: count-weighted similarity at p of residue a to every member, for the residues
    // members have there (0.0 where their counts sum to 0). Only those entries are written and read, so it
    // needs no clearing; the histogram is cleared where it was used.
    const std::unique_ptr<double[]> contrib(new double[len * 128]);
    std::array<CountSum, 128> hist{};
    std::array<std::uint8_t, 128> seen{};
    std::array<std::uint8_t, 128> present;
    std::array<std::uint8_t, 128> touched;
    for (std::size_t p = 0; p < len; ++p) {
        std::size_t n_touched = 0;
        for (std::size_t m : members) {
            const std::uint8_t r = residues[m * len + p];
            if (!seen[r]) {
                seen[r] = 1;
                touched[n_touched++] = r;
            }
            hist[r] += counts[m];
        }
        // Ascending residues, as a scan of all 128 would meet them: the sums below add in that order.
        std::sort(touched.begin(), touched.begin() + static_cast<std::ptrdiff_t>(n_touched));
        std::size_t n_present = 0;
        for (std::size_t i = 0; i < n_touched; ++i)
            if (hist[touched[i]] != 0) present[n_present++] = touched[i];

        for (std::size_t i = 0; i < n_touched; ++i) {
            const std::uint8_t a = touched[i];
            double sum = 0.0;
            if (hist[a] != 0) {
                for (std::size_t j = 0; j < n_present; ++j) {
                    const std::uint8_t b = present[j];
                    sum = sum + static_cast<double>(hist[b]) * tables.entry(p, a, b);
                }
            }
            contrib[p * 128 + a] = sum;
        }
        for (std::size_t i = 0; i < n_touched; ++i) {
            hist[touched[i]] = 0;
            seen[touched[i]] = 0;
        }
    }

    Best best{.index = current};
    for (std::size_t c : members) {
        const std::uint8_t* r = residues + c * len;
        double t = 0.0;
        for (std::size_t p = 0; p < len; ++p) t = t + contrib[p * 128 + r[p]];
        const double w = static_cast<double>(counts[c]);
        const double rest = whole - w;
        best.offer(c, rest > 0.0 ? (t - w) / rest : 0.0);
    }
    return best.index;
}

std::vector<std::size_t> medoid_step(const SimTables& tables, const AnchorTable& table, const ClusterMembers& clusters,
                                     bool fast, Pool* pool, Monitor* monitor,
                                     const std::vector<std::uint8_t>* settled) {
    const std::uint8_t* residues = table.residues.data();
    const std::uint64_t* counts = table.counts.data();
    // A cluster of one is its own medoid; most clusters are, and handing them to the pool one by one would
    // cost more than the rest of the step. A settled cluster's medoid is its centroid.
    std::vector<std::size_t> out = clusters.centroids;
    std::vector<std::size_t> larger;
    for (std::size_t k = 0; k < clusters.size(); ++k)
        if (clusters.of(k).size() > 1 && (settled == nullptr || !(*settled)[clusters.centroids[k]]))
            larger.push_back(k);
    if (monitor != nullptr) monitor->add_quietly(clusters.size() - larger.size());
    const std::vector<std::size_t> medoids = parallel_map(
        pool, larger.size(),
        [&](std::size_t j) {
            const std::size_t k = larger[j];
            const std::span<const std::size_t> members = clusters.of(k);
            const std::size_t c = clusters.centroids[k];
            return fast ? medoid_fast(tables, residues, counts, members, c)
                        : medoid_exact(tables, residues, counts, members, c);
        },
        monitor);
    for (std::size_t j = 0; j < larger.size(); ++j) out[larger[j]] = medoids[j];
    return out;
}

}  // namespace kelvara
