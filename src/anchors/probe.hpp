#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "anchors/sim_tables.hpp"

namespace kelvara {

// Anchors stored side by side with their bytes permuted into summing order, so that a similarity loop
// reads them sequentially; each also keeps the residue-pair index of its first two summing positions.
class OrderedAnchors {
public:
    explicit OrderedAnchors(const SimTables& t) : len_(t.anchor_len) {}

    void add(const SimTables& t, const std::uint8_t* anchor) {
        for (std::size_t p : t.order) bytes_.push_back(anchor[p]);
        const std::uint8_t* b = bytes_.data() + bytes_.size() - len_;
        pairs_.push_back(len_ >= 2 ? static_cast<std::uint16_t>(t.residue_index[b[0]] * 21 + t.residue_index[b[1]])
                                   : 0);
    }

    std::size_t size() const { return pairs_.size(); }
    const std::uint8_t* bytes(std::size_t j) const { return bytes_.data() + j * len_; }
    std::uint16_t pair(std::size_t j) const { return pairs_[j]; }

private:
    std::size_t len_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint16_t> pairs_;
};

// One anchor compared against many OrderedAnchors with a fixed min_needed, giving anchor_sim's results.
//
// Most comparisons end within the first two positions, so before a long run of comparisons the probe
// tabulates those two steps for every pair of residues (20 letters and one class for all other bytes,
// which score alike): the running sum after two positions, or the early exit. The table holds the very
// same additions and tests, so no result changes by a bit.
class Probe {
public:
    // Comparisons below which the table costs more than it saves.
    static constexpr std::size_t kTabulateFrom = 64;

    Probe(const SimTables& t, double min_needed) : t_(t), min_needed_(min_needed), rows_(t.anchor_len) {}

    void load(const std::uint8_t* anchor) {
        for (std::size_t k = 0; k < rows_.size(); ++k) {
            const std::size_t p = t_.order[k];
            rows_[k] = t_.table(p) + anchor[p] * 128;
        }
        tabulated_ = false;
    }

    void expect(std::size_t comparisons) {
        if (tabulated_ || comparisons < kTabulateFrom || rows_.size() < 3) return;
        const double* bound = t_.suffix_bound.data();
        for (std::size_t x = 0; x < 21; ++x) {
            const double s0 = 0.0 + rows_[0][representative(x)];
            const bool exit0 = min_needed_ > bound[1] + s0;
            for (std::size_t y = 0; y < 21; ++y) {
                const double s1 = s0 + rows_[1][representative(y)];
                exits_[x * 21 + y] = exit0 || min_needed_ > bound[2] + s1;
                after_two_[x * 21 + y] = s1;
            }
        }
        tabulated_ = true;
    }

    static constexpr std::size_t kBatch = 4;

    // anchor_sim of the probe and each of the `count` (1 to kBatch) anchors from j on, into out[]. The anchors run side
    // by side without a branch per anchor, so their sums overlap in the pipeline; each lane still adds exactly as
    // anchor_sim does, and a lane whose exit test fired at any step reports -1.0, as anchor_sim would have.
    void sim_batch(const OrderedAnchors& others, std::size_t j, std::size_t count, double* out) const {
        const std::size_t n = rows_.size();
        const double* bound = t_.suffix_bound.data();
        const std::uint8_t* b[kBatch];
        double s[kBatch];
        bool exited[kBatch];
        for (std::size_t lane = 0; lane < kBatch; ++lane) {
            const std::size_t at = j + (lane < count ? lane : count - 1);
            b[lane] = others.bytes(at);
            s[lane] = tabulated_ ? after_two_[others.pair(at)] : 0.0;
            exited[lane] = tabulated_ && exits_[others.pair(at)];
        }
        // Comparisons across blocks mostly end in the table; then the batch is done.
        bool all_exited = true;
        for (std::size_t lane = 0; lane < kBatch; ++lane) all_exited = all_exited & exited[lane];
        if (all_exited) {
            for (std::size_t lane = 0; lane < count; ++lane) out[lane] = -1.0;
            return;
        }
        for (std::size_t k = tabulated_ ? 2 : 0; k + 1 < n; ++k) {
            bool all = true;
            for (std::size_t lane = 0; lane < kBatch; ++lane) {
                s[lane] = s[lane] + rows_[k][b[lane][k]];
                exited[lane] = exited[lane] | (min_needed_ > bound[k + 1] + s[lane]);
                all = all & exited[lane];
            }
            if ((k & 1) && all) {
                for (std::size_t lane = 0; lane < count; ++lane) out[lane] = -1.0;
                return;
            }
        }
        if (n > (tabulated_ ? 2 : 0))
            for (std::size_t lane = 0; lane < kBatch; ++lane) s[lane] = s[lane] + rows_[n - 1][b[lane][n - 1]];
        for (std::size_t lane = 0; lane < count; ++lane) out[lane] = exited[lane] ? -1.0 : s[lane];
    }

private:
    static std::size_t representative(std::size_t index) {
        return index < 20 ? static_cast<unsigned char>(kAlphabet[index]) : 0;
    }

    const SimTables& t_;
    double min_needed_;
    std::vector<const double*> rows_;
    bool tabulated_ = false;
    std::array<bool, 21 * 21> exits_{};
    std::array<double, 21 * 21> after_two_{};
};

}  // namespace kelvara
