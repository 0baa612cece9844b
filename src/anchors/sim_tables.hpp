#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvara {

inline constexpr std::uint8_t kNoGroup = 255;
inline constexpr char kAlphabet[] = "ARNDCQEGHILKMFPSTWYV";
// Residue codes: one per letter and kOther for every other byte; all other bytes score 0.0 against
// everything, so the code alone decides a table entry. Codes x and x + 16 (x < 5) are two similar residues
// (or W and the rest), so that code & 15 is one of 16 classes a single byte shuffle can look up.
inline constexpr std::uint8_t kOther = 20;
inline constexpr std::size_t kCodes = 21;
inline constexpr std::size_t kClasses = 16;
// Letters by code, kOther last.
inline constexpr char kCodeLetters[] = "ILKFWANDCQEGHPSTVMRY";
// A table row holds kCodes entries and is padded to 24, three loads of eight.
inline constexpr std::size_t kRowStride = 24;
inline constexpr std::size_t kCodeTableSize = kCodes * kRowStride;
// A fixed-point row: 32 entries of 16 bits (21 used), one 512-bit register, then the same entries as two
// byte-shuffle tables of 32 bytes (the low bytes of entries 0-15, their high bytes, then the same for
// entries 16-31), for processors that look up with byte shuffles instead.
inline constexpr std::size_t kQRowStride = 64;
inline constexpr std::size_t kQTableSize = kCodes * kQRowStride;
// An 8-bit row: entries 0-15, then entries 16-20 (padded to 16), then per class the larger entry of its
// codes, each set repeated in both 128-bit halves of a 32-byte byte-shuffle table, so that one shuffle
// looks up 32 lanes.
inline constexpr std::size_t kQ8RowStride = 96;
inline constexpr std::size_t kQ8TableSize = kCodes * kQ8RowStride;

struct SimTables {
    std::size_t anchor_len = 0;
    std::vector<std::size_t> positions;  // ascending anchor positions
    std::vector<double> scale;           // per position
    std::vector<std::size_t> order;      // positions by weight descending, ties ascending
    // Entry [x * kRowStride + y] of a position's table is N(x, y) * scale; positions of equal scale share
    // one table, so there are at most two however long the anchors are.
    std::vector<double> code_tables;
    std::vector<std::size_t> table_at;  // per position, the offset of its table in code_tables
    std::vector<double> suffix_bound;   // anchor_len + 1 entries
    double anchor_share = 0.0;
    // Fixed-point copies of the code tables, entry = ceil(entry * qscale) with qscale a power of two, so that
    // their exact integer sums bound the real sums from above; a search uses them to prove early exits
    // cheaply. Empty when the weights leave no room for them in 16 bits.
    std::vector<std::int16_t> qtables;  // per distinct table, kCodes rows of kQRowStride
    double qscale = 0.0;
    // The same in 8 bits, entry = ceil(entry * q8scale), with q8scale small enough that no partial sum of
    // entries goes past 127: summed with saturation they still bound the real sums from above. Empty when
    // that leaves too little precision.
    std::vector<std::int8_t> q8tables;  // per distinct table, kCodes rows of kQ8RowStride
    double q8scale = 0.0;
    double abs_scale_sum = 0.0;  // sum of |scale| over positions: no sum of entries exceeds it
    // More than the roundings of a similarity and of a block bound can add up to; NaN when some weight is
    // negative, which leaves the bound no bound at all.
    double bound_slack = 0.0;
    std::array<std::uint8_t, 128> residue_group{};
    std::array<std::uint8_t, 128> residue_code{};
    std::array<std::array<double, 10>, 10> group_max{};

    // The fixed-point row of residue code `x` in the table of position p; only when qtables is not empty.
    const std::int16_t* qrow(std::size_t p, std::uint8_t x) const {
        return qtables.data() + table_at[p] / kCodeTableSize * kQTableSize + x * kQRowStride;
    }
    // The 8-bit row of residue code `x` in the table of position p; only when q8tables is not empty.
    const std::int8_t* q8row(std::size_t p, std::uint8_t x) const {
        return q8tables.data() + table_at[p] / kCodeTableSize * kQ8TableSize + x * kQ8RowStride;
    }
    // The row of residue code `x` in the table of position p.
    const double* row(std::size_t p, std::uint8_t x) const { return code_tables.data() + table_at[p] + x * kRowStride; }
    // The table entry of two anchor bytes at position p.
    double entry(std::size_t p, std::uint8_t a, std::uint8_t b) const {
        return row(p, residue_code[a])[residue_code[b]];
    }
};

SimTables make_sim_tables(std::size_t anchor_len, const std::vector<std::size_t>& positions, double anchor_weight);

// Similarity of a and b summed in `order`; -1.0 as soon as min_needed is out of reach.
inline double anchor_sim(const SimTables& t, const std::uint8_t* a, const std::uint8_t* b, double min_needed) {
    const std::size_t n = t.anchor_len;
    double s = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t p = t.order[k];
        s = s + t.entry(p, a[p], b[p]);
        if (k + 1 < n && min_needed > t.suffix_bound[k + 1] + s) return -1.0;
    }
    return s;
}

// The same sum without the early exit.
inline double full_sim(const SimTables& t, const std::uint8_t* a, const std::uint8_t* b) {
    double s = 0.0;
    for (std::size_t k = 0; k < t.anchor_len; ++k) {
        const std::size_t p = t.order[k];
        s = s + t.entry(p, a[p], b[p]);
    }
    return s;
}

inline std::uint64_t block_key(const SimTables& t, const std::uint8_t* a) {
    std::uint64_t key = 0;
    for (std::size_t p : t.positions) key = (key << 8) | t.residue_group[a[p]];
    return key;
}

// True when the keys share a byte among their `n_positions` low bytes.
inline bool blocks_agree(std::uint64_t b, std::uint64_t c, std::size_t n_positions) {
    const std::uint64_t x = b ^ c;
    for (std::size_t j = 0; j < n_positions; ++j)
        if (((x >> (8 * j)) & 0xFF) == 0) return true;
    return false;
}

// Largest similarity an anchor of block `own` can reach with an anchor of block `other`.
double block_upper_bound(const SimTables& t, std::uint64_t own, std::uint64_t other);

// True when no anchor of block `own` can be `cut` similar to an anchor of block `other`, computed as
// anchor_sim computes it: even with the slack for roundings the bound stays below the cut.
inline bool out_of_reach(const SimTables& t, std::uint64_t own, std::uint64_t other, double cut) {
    return block_upper_bound(t, own, other) + t.bound_slack < cut;
}

}  // namespace kelvara
