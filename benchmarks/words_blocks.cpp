// The greedy pass over the largest blocks of a set, one thread, scanning every centroid set and then with
// every set searched through its centroids' words from the first centroid on: seconds and both counters
// (which must agree) for each.
//
// Build and run from the repository root (the package's flags, no -march=native):
//   g++ -O3 -std=c++20 -ffp-contract=off -Isrc benchmarks/words_blocks.cpp src/anchors/sim_tables.cpp
//       src/search/*.cpp -o /tmp/words_blocks
//   zcat ../shared/data/proteome_all_9mers.tsv.gz | /tmp/words_blocks 0.7 10
// Arguments: threshold, the number of largest blocks (default all). Positions [1, 8], weight 2.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "anchors/sim_tables.hpp"
#include "search/centroid_set.hpp"

using namespace kelvara;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: words_blocks THRESHOLD [BLOCKS] < anchor<TAB>count lines\n");
        return 2;
    }
    const double threshold = std::atof(argv[1]);
    // Processing order: count descending, ties in input order.
    std::vector<std::pair<std::string, std::uint64_t>> rows;
    for (std::string line; std::getline(std::cin, line);) {
        const auto tab = line.find('\t');
        rows.emplace_back(line.substr(0, tab), std::stoull(line.substr(tab + 1)));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    const std::size_t n = rows.size(), len = rows.front().first.size();
    std::vector<std::uint8_t> residues;
    for (const auto& r : rows) residues.insert(residues.end(), r.first.begin(), r.first.end());
    const SimTables t = make_sim_tables(len, {1, 8}, 2.0);
    const std::vector<std::uint8_t> codes = search::summing_codes(t, residues.data(), n);

    std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_key;
    for (std::size_t i = 0; i < n; ++i) by_key[block_key(t, residues.data() + i * len)].push_back(i);
    std::vector<std::vector<std::size_t>> blocks;
    for (auto& entry : by_key) blocks.push_back(std::move(entry.second));
    std::sort(blocks.begin(), blocks.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    if (argc > 2) blocks.resize(std::min<std::size_t>(blocks.size(), std::stoul(argv[2])));

    search::Probe probe(t, threshold);
    std::uint64_t counters[2][2] = {};
    for (int by_words = 0; by_words < 2; ++by_words) {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& members : blocks) {
            search::CentroidSet set(len, search::bucket_max_for(t, threshold));
            set.index_words(by_words ? 0 : SIZE_MAX);
            for (std::size_t i : members) {
                probe.load(codes.data() + i * len);
                const search::FirstMatch m = set.first_match(probe);
                counters[by_words][0] += m.comparisons;
                counters[by_words][1] += m.early_exits;
                if (m.rank == search::kNoRank) set.add(codes.data() + i * len);
            }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s: %.3f s, %llu comparisons, %llu early exits\n", by_words ? "words" : "scan ", seconds,
                    static_cast<unsigned long long>(counters[by_words][0]),
                    static_cast<unsigned long long>(counters[by_words][1]));
    }
    const bool same = counters[0][0] == counters[1][0] && counters[0][1] == counters[1][1];
    std::printf("counters %s\n", same ? "identical" : "DIFFER");
    return same ? 0 : 1;
}
