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
#include "real_blocks.hpp"
#include "search/centroid_set.hpp"

using namespace kelvara;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: words_blocks THRESHOLD [BLOCKS] < anchor<TAB>count lines\n");
        return 2;
    }
    const double threshold = std::atof(argv[1]);
    const bench::RealBlocks input = bench::read_blocks(std::cin, argc > 2 ? std::stoul(argv[2]) : SIZE_MAX);
    const std::size_t len = input.len;
    const SimTables& t = input.t;
    const std::vector<std::uint8_t>& codes = input.codes;
    const std::vector<std::vector<std::size_t>>& blocks = input.blocks;
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
