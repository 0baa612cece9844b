#include "cluster/seeded.hpp"

#include <algorithm>
#include <unordered_map>

#include "search/centroid_set.hpp"

namespace kelvara {

namespace {

struct Block {
    std::vector<std::size_t> references;  // ascending
    std::vector<std::size_t> anchors;     // ascending
};

struct BlockOut {
    std::vector<std::size_t> centroid;  // per anchor of the block
    std::uint64_t comparisons = 0, early_exits = 0;
};

BlockOut cluster_block(const SimTables& t, const std::vector<std::uint8_t>& ref_codes,
                       const std::vector<std::uint8_t>& codes, std::size_t n_references, const Block& block,
                       const std::vector<std::size_t>& equal, double threshold, Monitor* monitor) {
    const std::size_t len = t.anchor_len;
    BlockOut out;
    out.centroid.reserve(block.anchors.size());
    search::CentroidSet set(len);
    set.index_words(search::words_from());
    std::vector<std::size_t> ids = block.references;  // by rank: a reference index, or n_references + anchor
    set.assign(ref_codes.data(), block.references.data(), block.references.size());
    search::Probe probe(t, threshold);
    Ticker tick(monitor);
    for (const std::size_t i : block.anchors) {
        tick();
        if (equal[i] != SIZE_MAX) {
            out.centroid.push_back(equal[i]);
            continue;
        }
        const std::uint8_t* anchor = codes.data() + i * len;
        probe.load(anchor);
        const search::FirstMatch m = set.first_match(probe);
        out.comparisons += m.comparisons;
        out.early_exits += m.early_exits;
        if (m.rank != search::kNoRank) {
            out.centroid.push_back(ids[m.rank]);
        } else {
            set.add(anchor);
            ids.push_back(n_references + i);
            out.centroid.push_back(n_references + i);
        }
    }
    return out;
}

}  // namespace

SeededResult seeded_cluster(const SimTables& t, const std::uint8_t* references, std::size_t n_references,
                            const std::uint8_t* residues, std::size_t n, const std::vector<std::size_t>& equal,
                            double threshold, Pool* pool, Monitor* monitor) {
    SeededResult result;
    result.assignment.resize(n);
    if (n == 0) return result;
    const std::size_t len = t.anchor_len;
    const std::vector<std::uint8_t> ref_codes = search::summing_codes(t, references, n_references);
    const std::vector<std::uint8_t> codes = search::summing_codes(t, residues, n);

    // Blocks in ascending key order; only those with new anchors matter.
    std::unordered_map<std::uint64_t, std::size_t> block_of;
    std::vector<std::pair<std::uint64_t, Block>> blocks;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = block_key(t, residues + i * len);
        const auto [it, added] = block_of.try_emplace(key, blocks.size());
        if (added) blocks.emplace_back(key, Block{});
        blocks[it->second].second.anchors.push_back(i);
    }
    for (std::size_t r = 0; r < n_references; ++r) {
        const auto it = block_of.find(block_key(t, references + r * len));
        if (it != block_of.end()) blocks[it->second].second.references.push_back(r);
    }

    std::vector<BlockOut> outs(blocks.size());
    auto body = [&](std::size_t b, std::size_t) {
        outs[b] = cluster_block(t, ref_codes, codes, n_references, blocks[b].second, equal, threshold, monitor);
    };
    if (pool != nullptr) {
        pool->run(blocks.size(), body, monitor);
    } else {
        for (std::size_t b = 0; b < blocks.size(); ++b) body(b, 0);
    }
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const Block& block = blocks[b].second;
        for (std::size_t k = 0; k < block.anchors.size(); ++k) result.assignment[block.anchors[k]] = outs[b].centroid[k];
        result.n_comparisons += outs[b].comparisons;
        result.n_early_exits += outs[b].early_exits;
    }
    return result;
}

}  // namespace kelvara
