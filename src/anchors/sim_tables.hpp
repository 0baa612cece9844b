#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvara {

inline constexpr std::size_t kTableSize = 128 * 128;
inline constexpr std::uint8_t kNoGroup = 255;
inline constexpr char kAlphabet[] = "ARNDCQEGHILKMFPSTWYV";
// Index of a byte in kAlphabet; every other byte is kOther, and they all score alike (0.0).
inline constexpr std::uint8_t kOther = 20;

struct SimTables {
    std::size_t anchor_len = 0;
    std::vector<std::size_t> positions;  // ascending anchor positions
    std::vector<double> scale;           // per position
    std::vector<std::size_t> order;      // positions by weight descending, ties ascending
    std::vector<double> pos_tables;      // anchor_len tables of kTableSize, in position order
    std::vector<double> suffix_bound;    // anchor_len + 1 entries
    double anchor_share = 0.0;
    std::array<std::uint8_t, 128> residue_group{};
    std::array<std::uint8_t, 128> residue_index{};
    std::array<std::array<double, 10>, 10> group_max{};

    const double* table(std::size_t p) const { return pos_tables.data() + p * kTableSize; }
};

SimTables make_sim_tables(std::size_t anchor_len, const std::vector<std::size_t>& positions, double anchor_weight);

// Similarity of a and b summed in `order`; -1.0 as soon as min_needed is out of reach.
inline double anchor_sim(const SimTables& t, const std::uint8_t* a, const std::uint8_t* b, double min_needed) {
    const std::size_t n = t.anchor_len;
    double s = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t p = t.order[k];
        s = s + t.table(p)[a[p] * 128 + b[p]];
        if (k + 1 < n && min_needed > t.suffix_bound[k + 1] + s) return -1.0;
    }
    return s;
}

// The same sum without the early exit.
inline double full_sim(const SimTables& t, const std::uint8_t* a, const std::uint8_t* b) {
    double s = 0.0;
    for (std::size_t k = 0; k < t.anchor_len; ++k) {
        const std::size_t p = t.order[k];
        s = s + t.table(p)[a[p] * 128 + b[p]];
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

}  // namespace kelvara
