// Real anchors for the C++ benchmarks: anchor<TAB>count lines in processing order (count descending, ties
// in input order), their residue codes in summing order, and their blocks at positions [1, 8] (weight 2),
// largest first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "anchors/sim_tables.hpp"
#include "search/centroid_set.hpp"

namespace kelvara::bench {

struct RealBlocks {
    std::size_t len = 0;
    SimTables t;
    std::vector<std::uint8_t> codes;                // anchor i at codes[i * len]
    std::vector<std::vector<std::size_t>> blocks;  // anchors by block, largest blocks first
};

// Reads the lines from `in`; keeps the `max_blocks` largest blocks.
inline RealBlocks read_blocks(std::istream& in, std::size_t max_blocks = SIZE_MAX) {
    std::vector<std::pair<std::string, std::uint64_t>> rows;
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        rows.emplace_back(line.substr(0, tab), std::stoull(line.substr(tab + 1)));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    RealBlocks out;
    if (rows.empty()) return out;
    const std::size_t n = rows.size();
    out.len = rows.front().first.size();
    std::vector<std::uint8_t> residues;
    for (const auto& r : rows) residues.insert(residues.end(), r.first.begin(), r.first.end());
    out.t = make_sim_tables(out.len, {1, 8}, 2.0);
    out.codes = search::summing_codes(out.t, residues.data(), n);
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_key;
    for (std::size_t i = 0; i < n; ++i) by_key[block_key(out.t, residues.data() + i * out.len)].push_back(i);
    for (auto& entry : by_key) out.blocks.push_back(std::move(entry.second));
    std::sort(out.blocks.begin(), out.blocks.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    out.blocks.resize(std::min(out.blocks.size(), max_blocks));
    return out;
}

}  // namespace kelvara::bench
