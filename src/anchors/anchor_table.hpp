#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvara {

// A sum of counts. Each count fits in 64 bits but their sum need not, and a total that wrapped around
// would rank a huge cluster as a tiny one.
__extension__ using CountSum = unsigned __int128;

// The caller's anchors in dict order. `residues` holds the rows used for scoring: the anchor bytes, except
// that a byte of 128 or more is stored as 0, which scores and groups like any other non-alphabet byte and
// keeps every table lookup inside its 128 x 128 table. `anchors` keeps the exact text for output and ties.
struct AnchorTable {
    std::vector<std::string> anchors;
    std::vector<std::uint8_t> residues;  // size() * anchor_len bytes, row i is anchor i
    std::vector<std::uint64_t> counts;
    std::size_t anchor_len = 0;

    std::size_t size() const { return counts.size(); }
    const std::uint8_t* row(std::size_t i) const { return residues.data() + i * anchor_len; }
};

// Checks the common length and lays out the residues; throws InputError.
AnchorTable build_anchor_table(std::vector<std::string> anchors, std::vector<std::uint64_t> counts);

// Ascending distinct positions, 1 to 8 of them, each below anchor_len; throws InputError.
std::vector<std::size_t> check_positions(const std::vector<std::uint64_t>& positions, std::size_t anchor_len);

}  // namespace kelvara
