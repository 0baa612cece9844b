#include "anchors/anchor_table.hpp"

#include <algorithm>

#include "anchors/errors.hpp"

namespace kelvara {

AnchorTable build_anchor_table(std::vector<std::string> anchors, std::vector<std::uint64_t> counts) {
    AnchorTable table;
    table.anchors = std::move(anchors);
    table.counts = std::move(counts);
    if (table.anchors.empty()) return table;

    const std::size_t len = table.anchors.front().size();
    if (len == 0) throw InputError("anchors must be non-empty");
    table.anchor_len = len;
    table.residues.reserve(table.anchors.size() * len);
    for (const std::string& a : table.anchors) {
        if (a.size() != len) {
            throw InputError("all anchors must have the same length; found " + std::to_string(len) + " and " +
                             std::to_string(a.size()));
        }
        for (unsigned char ch : a) table.residues.push_back(ch < 128 ? ch : 0);
    }
    return table;
}

std::vector<std::size_t> check_positions(const std::vector<std::uint64_t>& positions, std::size_t anchor_len) {
    if (positions.empty()) throw InputError("anchor_positions must contain at least one position");
    auto out_of_range = [&](std::uint64_t p) {
        return InputError("anchor position " + std::to_string(p) + " is out of range for anchor length " +
                          std::to_string(anchor_len));
    };
    std::vector<std::uint64_t> sorted = positions;
    if (sorted.size() > 1) {
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        if (sorted.size() > 8)
            throw InputError("at most 8 anchor positions are supported, got " + std::to_string(sorted.size()));
    }
    if (sorted.back() >= anchor_len) throw out_of_range(sorted.back());
    return {sorted.begin(), sorted.end()};
}

}  // namespace kelvara
