// Measures a candidate filter for the greedy question against the centroid-set scan, block by block, on
// real anchors: whether an index that visits only centroids able to run to full length beats the scan.
//
// A centroid is compared in full only if anchor_sim's exit test never fires before the last step, which
// needs the partial sum of the first len - 1 steps to reach min_needed - suffix_bound[len - 1]. In terms of
// the probe's row maxima, the total deficit over those steps must stay within a budget; split the steps
// into parts and share the budget among them, and at least one part stays within its share (pigeonhole).
// So the centroids whose word at some part is within that part's share, found through posting lists of
// every part's admissible words, hold every full-length centroid, the first match included. Verified in
// rank order with the scan's own arithmetic they give the same match and counters; the program checks that.
//
// Build and run from the repository root (the package's flags, no -march=native):
//   g++ -O3 -std=c++20 -ffp-contract=off -Isrc benchmarks/candidate_filter.cpp src/anchors/sim_tables.cpp
//       src/search/*.cpp -o /tmp/candidate_filter
//   zcat ../shared/data/proteome_9mers_1m.tsv.gz | /tmp/candidate_filter 0.7 0,2,3,4/1,5,6,7
// Arguments: threshold, parts (summing steps, '/' between parts; default two halves), optionally the
// number of largest blocks to run (default all). Positions [1, 8], weight 2. With KELVARA_BATCHED set,
// each anchor's lookups are batched (see Filter::first_match).
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "anchors/sim_tables.hpp"
#include "real_blocks.hpp"
#include "search/centroid_set.hpp"

using namespace kelvara;

namespace {

struct Posting {
    std::uint32_t rank;
    std::uint8_t codes[12];  // inline, so that a list is read in one stream
};

class Filter {
public:
    Filter(const SimTables& t, std::vector<std::vector<std::size_t>> parts) : len_(t.anchor_len), parts_(std::move(parts)) {
        for (const auto& p : parts_) {
            std::size_t words = 1;
            for (std::size_t i = 0; i < p.size(); ++i) words *= kCodes;
            heads_.emplace_back(words, 0);
        }
        // Every row's codes by entry, best first, for enumerating words in order of deficit.
        base_ = t.code_tables.data();
        by_entry_.resize(t.code_tables.size() / kRowStride);
        for (std::size_t r = 0; r < by_entry_.size(); ++r) {
            const double* row = base_ + r * kRowStride;
            for (unsigned x = 0; x < kCodes; ++x) by_entry_[r][x] = static_cast<std::uint8_t>(x);
            std::stable_sort(by_entry_[r].begin(), by_entry_[r].end(), [&](auto a, auto b) { return row[a] > row[b]; });
        }
    }

    void add(const std::uint8_t* codes) {
        Posting e{static_cast<std::uint32_t>(n_), {}};
        std::memcpy(e.codes, codes, std::min<std::size_t>(len_, sizeof e.codes));
        for (std::size_t p = 0; p < parts_.size(); ++p) {
            std::uint32_t& head = heads_[p][word(codes, parts_[p])];
            if (head == 0) {
                lists_.emplace_back();
                head = static_cast<std::uint32_t>(lists_.size());
            }
            lists_[head - 1].push_back(e);
        }
        ++n_;
    }

    // The greedy question through the index: every admissible word is found first, then the lists are read.
    // With `batched`, their heads, list headers and first postings are asked for ahead, so that the cache
    // misses overlap instead of following one another. Candidates are screened with the probe's 16-bit
    // sums before the exact sum.
    search::FirstMatch first_match(const search::Probe& probe, bool batched) {
        const double* const* rows = probe.rows();
        const double min_needed = probe.min_needed();
        if (!share_budget(probe)) return nothing_full_length();
        const std::vector<double>& best = best_;
        const std::vector<const std::uint8_t*>& order = order_;
        const std::vector<double>& share = share_;
        found_.clear();
        for (std::size_t p = 0; p < parts_.size(); ++p) {
            auto visit = [&](auto&& self, std::size_t i, double deficit, std::size_t w) -> void {
                const auto& steps = parts_[p];
                if (i == steps.size()) {
                    found_.push_back({static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(w)});
                    return;
                }
                const std::size_t k = steps[i];
                for (unsigned j = 0; j < kCodes; ++j) {
                    const unsigned x = order[k][j];
                    const double d = deficit + (best[k] - rows[k][x]);
                    if (d > share[p]) break;
                    self(self, i + 1, d, w * kCodes + x);
                }
            };
            visit(visit, 0, 0.0, 0);
        }
        words_ += found_.size();
        if (batched)
            for (const auto& f : found_) __builtin_prefetch(&heads_[f.part][f.word]);
        lists_at_.clear();
        for (const auto& f : found_) {
            const std::uint32_t head = heads_[f.part][f.word];
            if (head == 0) continue;
            lists_at_.push_back({f.part, head - 1});
            if (batched) __builtin_prefetch(&lists_[head - 1]);
        }
        if (batched)
            for (const auto& l : lists_at_) __builtin_prefetch(lists_[l.word].data());
        const std::int16_t* const* qrows = probe.qrows();
        const std::int32_t qcut = len_ >= 2 ? probe.qcut()[len_ - 2] : INT32_MIN;
        std::uint32_t match = search::kNoRank;
        live_.clear();
        for (const auto& l : lists_at_) {
            const std::size_t p = l.part;
            for (const Posting& e : lists_[l.word]) {
                if (e.rank >= match) break;
                ++candidates_;
                // The 16-bit sum of the tested steps below the last cut proves an exit.
                std::int32_t q = 0;
                for (std::size_t k = 0; k + 1 < len_; ++k) q += qrows[k][e.codes[k]];
                if (q < qcut) continue;
                bool seen = false;
                for (std::size_t r = 0; r < p && !seen; ++r) {
                    double d = 0.0;
                    for (std::size_t k : parts_[r]) d += best[k] - rows[k][e.codes[k]];
                    seen = d <= share[r];
                }
                if (seen) continue;
                double sum;
                if (!probe.live_sum(e.codes, 1, &sum) || sum < 0.0) continue;
                if (sum >= min_needed) {
                    match = e.rank;
                    break;
                }
                live_.push_back(e.rank);
            }
        }
        return answer(match);
    }

    std::uint64_t words() const { return words_; }
    std::uint64_t candidates() const { return candidates_; }

private:
    // Per tested step the probe's best entry and its codes best first, and per part its share of the budget
    // of deficits a centroid that runs to full length stays within; false when that budget is negative.
    bool share_budget(const search::Probe& probe) {
        const double* const* rows = probe.rows();
        const double min_needed = probe.min_needed();
        best_.assign(len_, 0.0);
        order_.assign(len_, nullptr);
        double sum_best = 0.0;
        for (std::size_t k = 0; k + 1 < len_; ++k) {
            order_[k] = by_entry_[static_cast<std::size_t>(rows[k] - base_) / kRowStride].data();
            best_[k] = rows[k][order_[k][0]];
            sum_best += best_[k];
        }
        // The margin dwarfs every rounding of the sums involved.
        const double margin = 1e-9 * (std::fabs(min_needed) + sum_best + 1.0);
        const double budget = sum_best - (min_needed - probe.bound()[len_ - 1]) + margin;
        if (budget < 0.0) return false;
        share_.assign(parts_.size(), 0.0);
        double total = 0.0;
        for (std::size_t p = 0; p < parts_.size(); ++p) {
            for (std::size_t k : parts_[p]) share_[p] += best_[k];
            total += share_[p];
        }
        for (double& s : share_) s = total > 0.0 ? budget * s / total : budget / static_cast<double>(parts_.size());
        return true;
    }

    // No centroid can run to full length: every one is compared and exits.
    search::FirstMatch nothing_full_length() const {
        search::FirstMatch out;
        out.comparisons = out.early_exits = n_;
        return out;
    }

    // The counters of a literal scan up to `match`, from the ranks in live_ that ran to full length.
    search::FirstMatch answer(std::uint32_t match) const {
        search::FirstMatch out;
        const std::uint64_t before = match == search::kNoRank ? n_ : match;
        std::uint64_t full_length = 0;
        for (std::uint32_t r : live_) full_length += r < match;
        out.rank = match;
        out.comparisons = match == search::kNoRank ? n_ : before + 1;
        out.early_exits = before - full_length;
        return out;
    }

    std::size_t word(const std::uint8_t* codes, const std::vector<std::size_t>& steps) const {
        std::size_t w = 0;
        for (std::size_t k : steps) w = w * kCodes + codes[k];
        return w;
    }

    std::size_t len_;
    std::vector<std::vector<std::size_t>> parts_;
    std::vector<std::vector<std::uint32_t>> heads_;  // per part and word: list index + 1, or 0
    std::vector<std::vector<Posting>> lists_;
    const double* base_;
    std::vector<std::array<std::uint8_t, kCodes>> by_entry_;
    std::size_t n_ = 0;
    std::vector<std::uint32_t> live_;
    std::vector<double> best_, share_;
    std::vector<const std::uint8_t*> order_;
    struct Found {
        std::uint32_t part, word;
    };
    std::vector<Found> found_, lists_at_;
    std::uint64_t words_ = 0, candidates_ = 0;
};

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: candidate_filter THRESHOLD [PARTS] [BLOCKS] < anchor<TAB>count lines\n");
        return 2;
    }
    const double threshold = std::atof(argv[1]);
    std::vector<std::vector<std::size_t>> parts;
    {
        std::stringstream spec(argc > 2 ? argv[2] : "0,2,3,4/1,5,6,7");
        std::string part;
        while (std::getline(spec, part, '/')) {
            parts.emplace_back();
            std::stringstream steps(part);
            std::string step;
            while (std::getline(steps, step, ',')) parts.back().push_back(std::stoul(step));
        }
    }
    const bench::RealBlocks input = bench::read_blocks(std::cin, argc > 3 ? std::stoul(argv[3]) : SIZE_MAX);
    const std::size_t len = input.len;
    if (len < 9 || len > sizeof(Posting::codes)) {
        std::fprintf(stderr, "anchors of 9 to %zu residues only\n", sizeof(Posting::codes));
        return 2;
    }
    const SimTables& t = input.t;
    const std::vector<std::uint8_t>& codes = input.codes;
    const std::vector<std::vector<std::size_t>>& blocks = input.blocks;

    // KELVARA_BATCHED=1: the batched lookups.
    const bool batched = std::getenv("KELVARA_BATCHED") != nullptr;
    search::Probe probe(t, threshold);
    double scan_s = 0.0, filter_s = 0.0;
    std::uint64_t queries = 0, comparisons = 0, words = 0, candidates = 0;
    bool same = true;
    for (const auto& members : blocks) {
        // The scan, as the greedy pass runs it.
        std::vector<search::FirstMatch> scanned;
        search::CentroidSet set(len, search::bucket_max_for(t, threshold));
        auto start = std::chrono::steady_clock::now();
        for (std::size_t i : members) {
            probe.load(codes.data() + i * len);
            scanned.push_back(set.first_match(probe));
            if (scanned.back().rank == search::kNoRank) set.add(codes.data() + i * len);
        }
        scan_s += seconds_since(start);
        // The same pass through the index, its upkeep included.
        Filter filter(t, parts);
        start = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < members.size(); ++k) {
            probe.load(codes.data() + members[k] * len);
            const search::FirstMatch m = filter.first_match(probe, batched);
            same = same && m.rank == scanned[k].rank && m.comparisons == scanned[k].comparisons &&
                   m.early_exits == scanned[k].early_exits;
            if (m.rank == search::kNoRank) filter.add(codes.data() + members[k] * len);
            comparisons += m.comparisons;
        }
        filter_s += seconds_since(start);
        queries += members.size();
        words += filter.words();
        candidates += filter.candidates();
    }
    std::printf("%zu anchors in %zu blocks, threshold %g, %zu parts: scan %.3f s, filter %.3f s (%.2fx)\n", queries,
                blocks.size(), threshold, parts.size(), scan_s, filter_s, filter_s / scan_s);
    std::printf("per anchor: %.1f comparisons by the scan, %.1f words and %.1f candidates by the filter\n",
                double(comparisons) / double(queries), double(words) / double(queries),
                double(candidates) / double(queries));
    std::printf("matches and counters %s\n", same ? "identical" : "DIFFER");
    return same ? 0 : 1;
}
