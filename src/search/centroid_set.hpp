#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "anchors/sim_tables.hpp"
#include "search/kernels.hpp"

namespace kelvara::search {

inline constexpr std::uint32_t kNoRank = 0xFFFFFFFFu;

// Residue codes of anchors in summing order: row i holds the codes of anchor i at order[0], order[1], ...
std::vector<std::uint8_t> summing_codes(const SimTables& t, const std::uint8_t* residues, std::size_t n);

// One anchor's side of every comparison, for one min_needed: per summing step, the table row of its
// residue there. One per thread; it also lends the searches their scratch space.
class Probe {
public:
    Probe(const SimTables& t, double min_needed);

    // `codes`: the anchor's codes in summing order.
    void load(const std::uint8_t* codes) {
        for (std::size_t k = 0; k < rows_.size(); ++k) rows_[k] = step_tables_[k] + codes[k] * kRowStride;
        for (std::size_t k = 0; k < qrows_.size(); ++k) qrows_[k] = step_qtables_[k] + codes[k] * kQRowStride;
        for (std::size_t k = 0; k < q8rows_.size(); ++k) q8rows_[k] = step_q8tables_[k] + codes[k] * kQ8RowStride;
    }

    // anchor_sim against another anchor's codes: -1.0 once min_needed is out of reach.
    double sim(const std::uint8_t* codes) const {
        const std::size_t len = rows_.size();
        double s = 0.0;
        for (std::size_t k = 0; k < len; ++k) {
            s = s + rows_[k][codes[k]];
            if (k + 1 < len && min_needed_ > bound_[k + 1] + s) return -1.0;
        }
        return s;
    }

    // anchor_sim against codes `stride` apart, telling an exit (false) from a full sum (true, in *sum).
    bool live_sum(const std::uint8_t* codes, std::size_t stride, double* sum) const {
        const std::size_t len = rows_.size();
        double s = 0.0;
        for (std::size_t k = 0; k < len; ++k) {
            s = s + rows_[k][codes[k * stride]];
            if (k + 1 < len && min_needed_ > bound_[k + 1] + s) return false;
        }
        *sum = s;
        return true;
    }

    // The same sum without the early exit.
    double full_sum(const std::uint8_t* codes) const {
        double s = 0.0;
        for (std::size_t k = 0; k < rows_.size(); ++k) s = s + rows_[k][codes[k]];
        return s;
    }

    std::size_t len() const { return rows_.size(); }
    double min_needed() const { return min_needed_; }
    const double* const* rows() const { return rows_.data(); }
    // The fixed-point rows and cuts, or nullptr when this probe has no pre-filter.
    const std::int16_t* const* qrows() const { return qrows_.empty() ? nullptr : qrows_.data(); }
    const std::int16_t* qcut() const { return qcut_.data(); }
    // The same in 8 bits, or nullptr.
    const std::int8_t* const* q8rows() const { return q8rows_.empty() ? nullptr : q8rows_.data(); }
    const std::int8_t* q8cut() const { return q8cut_.data(); }
    const double* bound() const { return bound_; }
    // No sum of table entries exceeds it in magnitude.
    double abs_scale_sum() const { return abs_scale_sum_; }
    // The codes of the other anchor at summing step k, best first by this probe's entry there (ties by
    // code). Made on first use.
    const std::uint8_t* best_first(std::size_t k) {
        if (best_first_.empty()) sort_rows();
        const auto code = static_cast<std::size_t>(rows_[k] - step_tables_[k]) / kRowStride;
        return best_first_.data() + (k * kCodes + code) * kCodes;
    }
    std::vector<std::uint32_t>& scratch() { return scratch_; }
    std::vector<const std::uint32_t*>& slot_scratch() { return slot_scratch_; }
    std::vector<std::uint64_t>& word_scratch() { return word_scratch_; }
    std::vector<std::pair<std::uint32_t, double>>& hit_scratch() { return hit_scratch_; }

private:
    std::vector<const double*> step_tables_;  // per summing step, the table of its position
    std::vector<const double*> rows_;
    std::vector<const std::int16_t*> step_qtables_;
    std::vector<const std::int16_t*> qrows_;
    std::vector<std::int16_t> qcut_;
    std::vector<const std::int8_t*> step_q8tables_;
    std::vector<const std::int8_t*> q8rows_;
    std::vector<std::int8_t> q8cut_;
    const double* bound_;
    double min_needed_;
    double abs_scale_sum_;
    std::vector<std::uint8_t> best_first_;  // per step and own code, kCodes codes
    std::vector<std::uint32_t> scratch_;
    std::vector<const std::uint32_t*> slot_scratch_;
    std::vector<std::uint64_t> word_scratch_;
    std::vector<std::pair<std::uint32_t, double>> hit_scratch_;

    void sort_rows();
};

// The set size from which on greedy searches go through a set's words (see CentroidSet::index_words).
// Tests lower it to take that path on sets of every size.
std::size_t words_from();
void set_words_from(std::size_t from);

// True when a probe with this min_needed scans with the 8-bit sums.
bool eight_bit_scans(const SimTables& t, double min_needed);

// The bucket size that suits greedy searches for min_needed: long buckets where the 8-bit sums scan fast,
// shorter ones, whose trie rules out more by prefix, where scans take the 16-bit sums.
std::uint32_t bucket_max_for(const SimTables& t, double min_needed);

// Runs body(i) for every i in [0, n), in any order and perhaps several at once.
using ForEach = std::function<void(std::size_t n, const std::function<void(std::size_t)>& body)>;

// The answer to the greedy question: the first entry (by rank) whose similarity reaches min_needed, and the
// counters a literal scan up to it would have kept.
struct FirstMatch {
    std::uint32_t rank = kNoRank;  // kNoRank: none
    std::uint64_t comparisons = 0;
    std::uint64_t early_exits = 0;
};

// Anchors ranked by insertion order, searched with anchor_sim's arithmetic but many at once.
//
// All entries sit in a flat list of chunks (so any rank range can be scanned), and those ranked kHead or
// later also in a burst trie keyed by their codes in summing order. Entries below a trie node share its
// prefix, hence the partial sum the walk carries there, bit for bit; a child is skipped exactly where
// anchor_sim's own exit test fires at that depth, since that test sees the same two doubles for every
// entry below it. Nothing else is pruned, so no assumption on weights or thresholds is needed.
class CentroidSet {
public:
    static constexpr std::uint32_t kHead = 32;
    // A trie bucket bursts into a node past this many entries. With fast chunk scans, sharing prefixes pays
    // only near the root, so buckets are large.
    static constexpr std::uint32_t kBucketMax = 4096;
    static constexpr std::uint32_t kLongBucketMax = 65536;

    explicit CentroidSet(std::size_t len, std::uint32_t bucket_max = kBucketMax) : len_(len), bucket_max_(bucket_max) {}

    std::size_t size() const { return n_; }

    // Greedy questions go through the entries' words once the set holds `from` entries, where the anchors'
    // length allows: past some thousands of entries that reads a small share of them.
    //
    // An entry is compared in full only if anchor_sim's exit test never fires before the last step, which
    // needs its deficits (per tested step, the probe's best entry there less the entry's own) to add up to
    // no more than a budget. Take a few disjoint parts of those steps and split the budget in shares: such
    // an entry stays within the share of at least one part. So every entry that runs to full length, the
    // first match included, sits in a bucket of some part's word (its codes at the part's steps) that is
    // within that part's share; where the cut is high, a probe has few such words. Those buckets are
    // scanned like the trie's, from the first step, and give the scan's match and counters.
    void index_words(std::size_t from);

    // Appends an entry (codes in summing order); its rank is the previous size.
    void add(const std::uint8_t* codes);
    // Fills an empty set with the entries at base + ids[r] * len, rank r, all at once: the trie takes the
    // shape adding them one by one would give it, without moving entries as buckets fill up. Without
    // `index` there is no trie at all, for a set searched so few times that building one costs more than
    // scanning every entry; add() then keeps it that way. With `for_each`, independent parts are built
    // through it.
    void assign(const std::uint8_t* base, const std::size_t* ids, std::size_t n, bool index = true,
                const ForEach* for_each = nullptr);

    // The greedy question: the first entry whose anchor_sim is not negative and reaches min_needed.
    // Entries ranked before it count as comparisons, and as early exits when their result was negative.
    FirstMatch first_match(Probe& probe) const;

    // Calls visit(rank, sum) for every entry of rank in [lo, hi) whose exit test never fires, with its full
    // similarity; entries that exit are left out. Ranks come in no particular order.
    template <class Visit>
    void live_in(const Probe& probe, std::uint32_t lo, std::uint32_t hi, Visit&& visit) const {
        hi = std::min<std::uint32_t>(hi, static_cast<std::uint32_t>(n_));
        if (lo >= hi) return;
        RangeVisitor<Visit&> v{hi, visit};
        if (hi - lo < kOneByOne) {
            scan_one_by_one(probe, lo, v);
            return;
        }
        if (root_ == kNoRank || hi <= kHead || hi - lo <= kFlatRange) {
            scan_flat(probe, lo, v);
            return;
        }
        if (lo < kHead) scan_flat(probe, lo, v, kHead);
        walk(probe, root_, 0, 0.0, 0, 0, std::max(lo, kHead), v);
    }

    // The same, through the entries' words where their buckets hold few enough of the range.
    template <class Visit>
    void live_in(Probe& probe, std::uint32_t lo, std::uint32_t hi, Visit&& visit) const {
        hi = std::min<std::uint32_t>(hi, static_cast<std::uint32_t>(n_));
        if (words_ && lo < hi) {
            const WordBuckets found = word_buckets(probe, lo, hi);
            if (found == WordBuckets::kNone) return;
            if (found == WordBuckets::kSome) {
                std::vector<std::pair<std::uint32_t, double>>& hits = probe.hit_scratch();
                hits.clear();
                auto keep = [&](std::uint32_t rank, double s) { hits.emplace_back(rank, s); };
                RangeVisitor<decltype(keep)&> v{hi, keep};
                for (const std::uint64_t pw : probe.word_scratch()) {
                    const Bucket& b = words_->buckets[pw >> 32][pw & 0xFFFFFFFFu];
                    if (b.max_rank >= lo && b.min_rank < hi) scan_bucket(probe, b, 0, 0.0, 0, 0, lo, v);
                }
                // An entry within the shares of several parts was found in each, with the same sum.
                std::sort(hits.begin(), hits.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
                for (std::size_t i = 0; i < hits.size(); ++i)
                    if (i == 0 || hits[i].first != hits[i - 1].first) visit(hits[i].first, hits[i].second);
                return;
            }
        }
        live_in(std::as_const(probe), lo, hi, visit);
    }

private:
    // Ranges this short are scanned flat rather than walked.
    static constexpr std::uint32_t kFlatRange = 256;
    // Ranges shorter than this are compared one entry at a time: a kernel call costs more.
    static constexpr std::uint32_t kOneByOne = 4;
    static constexpr std::uint32_t kBucketBit = 0x80000000u;

    struct Node {
        std::array<std::uint32_t, kCodes> child;  // node index, or bucket index | kBucketBit
        std::uint32_t mask = 0;                   // children present, by code
        std::uint32_t min_rank = 0, max_rank = 0;
    };
    struct Bucket {
        std::uint32_t n = 0;
        std::uint32_t min_rank = 0, max_rank = 0;
        std::vector<std::uint32_t> ranks;  // ascending, padded to whole chunks with kNoRank
        std::vector<std::uint32_t> firsts; // the rank of each chunk's first entry
        std::vector<std::uint8_t> codes;   // chunks, all steps
    };

    template <class Visit>
    struct RangeVisitor {
        std::uint32_t end;
        Visit visit;
        std::uint32_t hi() const { return end; }
        bool take(std::uint32_t rank, double s) {
            visit(rank, s);
            return false;
        }
    };

    void push(Bucket& b, const std::uint8_t* entry, std::uint32_t rank) const;
    void push(std::vector<std::uint8_t>& codes, std::vector<std::uint32_t>* ranks, std::size_t i,
              const std::uint8_t* entry, std::uint32_t rank) const;
    void insert(const std::uint8_t* codes, std::uint32_t rank);
    std::uint32_t burst(std::uint32_t bucket, std::size_t depth);
    std::uint32_t grow(std::vector<Node>& nodes, std::vector<Bucket>& buckets, const std::uint8_t* base,
                       const std::size_t* ids, std::vector<std::uint32_t>& ranks, std::size_t depth) const;
    std::uint32_t new_bucket(std::uint32_t rank);
    std::uint32_t new_node(std::uint32_t rank);

    ScanArgs args(const Probe& probe, const std::uint8_t* codes, std::size_t n_entries, std::size_t k0, double s0,
                  std::int32_t q0, std::int32_t q80) const {
        return ScanArgs{probe.rows(),   probe.bound(), probe.min_needed(), probe.qrows(), probe.qcut(),
                        probe.q8rows(), probe.q8cut(), len_, codes, n_entries, k0, s0, q0, q80};
    }

    // The number of entries below r in ascending ranks[0, n). A bucket's chunks are searched on most
    // visits once a match is known, so the search has no branch to mispredict.
    static std::size_t ranks_below(const std::uint32_t* ranks, std::size_t n, std::uint32_t r) {
        if (n == 0) return 0;
        const std::uint32_t* base = ranks;
        while (n > 1) {
            const std::size_t half = n / 2;
            base += half * static_cast<std::size_t>(base[half - 1] < r);
            n -= half;
        }
        return static_cast<std::size_t>(base - ranks) + (*base < r);
    }

    // The flat list's ranks [lo, v.hi()) compared one at a time, in rank order.
    template <class V>
    void scan_one_by_one(const Probe& probe, std::uint32_t lo, V& v) const {
        for (std::uint32_t r = lo; r < v.hi(); ++r) {
            double s;
            if (probe.live_sum(flat_.data() + (r / kLanes) * kLanes * len_ + r % kLanes, kLanes, &s) && v.take(r, s))
                return;
        }
    }

    // Ranks [lo, min(v.hi(), end)) of the flat list. V: hi() is the current end of the ranks that matter,
    // take(rank, sum) returns true when the ranks after `rank` no longer matter in this run.
    template <class V>
    void scan_flat(const Probe& probe, std::uint32_t lo, V& v, std::uint32_t end = kNoRank) const {
        const Kernels& k = kernels();
        const std::uint32_t limit = std::min<std::uint32_t>(end, static_cast<std::uint32_t>(n_));
        ScanArgs a = args(probe, flat_.data(), std::min(limit, v.hi()), 0, 0.0, 0, 0);
        LiveChunk live;
        for (std::size_t c = lo / kLanes;; ++c) {
            c = k.scan(a, c, &live);
            if (c >= chunk_count(a.n_entries)) return;
            for (std::uint32_t m = live.live; m != 0; m &= m - 1) {
                const unsigned j = static_cast<unsigned>(__builtin_ctz(m));
                const std::uint32_t rank = static_cast<std::uint32_t>(c * kLanes + j);
                if (rank < lo || rank >= v.hi()) continue;
                if (v.take(rank, live.sums[j])) return;
            }
            a.n_entries = std::min<std::size_t>(a.n_entries, v.hi());
        }
    }

    template <class V>
    void scan_bucket(const Probe& probe, const Bucket& b, std::size_t k0, double s0, std::int32_t q0, std::int32_t q80,
                     std::uint32_t lo, V& v) const {
        const Kernels& k = kernels();
        // Most scans want the whole bucket; a range that cuts into it starts at the last chunk that begins at
        // or below lo, found among the chunks' first ranks (a search over every rank misses the cache at
        // each step); the visitor passes over the chunk's earlier ranks.
        const std::size_t first_chunk =
            lo <= b.min_rank ? 0 : ranks_below(b.firsts.data(), b.firsts.size(), lo + 1) - 1;
        // The chunks that hold a rank below hi; the visitor passes over the later ranks of the last one.
        auto wanted = [&] {
            if (v.hi() > b.max_rank) return std::size_t{b.n};
            return std::min<std::size_t>(b.n, kLanes * ranks_below(b.firsts.data(), b.firsts.size(), v.hi()));
        };
        ScanArgs a = args(probe, b.codes.data(), wanted(), k0, s0, q0, q80);
        LiveChunk live;
        for (std::size_t c = first_chunk;; ++c) {
            c = k.scan(a, c, &live);
            if (c >= chunk_count(a.n_entries)) return;
            for (std::uint32_t m = live.live; m != 0; m &= m - 1) {
                const unsigned j = static_cast<unsigned>(__builtin_ctz(m));
                const std::uint32_t* slot = b.ranks.data() + c * kLanes + j;
                // A visitor that can take a rank's slot reads it later, with the other slots' misses
                // overlapping, unless the sum may be a match: where no rank of the bucket is below lo,
                // the rank is needed for nothing else.
                if constexpr (requires { v.take_slot(slot, 0.0); }) {
                    if (lo <= b.min_rank) {
                        if (v.take_slot(slot, live.sums[j])) return;
                        continue;
                    }
                }
                const std::uint32_t rank = *slot;
                if (rank < lo || rank >= v.hi()) continue;
                if (v.take(rank, live.sums[j])) return;
            }
            a.n_entries = std::min(a.n_entries, wanted());
        }
    }

    // s, q and q8: the partial sums in double and in 16- and 8-bit fixed point before step `depth`.
    template <class V>
    void walk(const Probe& probe, std::uint32_t node, std::size_t depth, double s, std::int32_t q, std::int32_t q8,
              std::uint32_t lo, V& v) const {
        const Node& nd = nodes_[node];
        const double* row = probe.rows()[depth];
        const std::int16_t* qrow = probe.qrows() != nullptr ? probe.qrows()[depth] : nullptr;
        const std::int8_t* q8row = probe.q8rows() != nullptr ? probe.q8rows()[depth] : nullptr;
        std::uint32_t m = nd.mask;
        if (depth + 1 < len_) m &= kernels().survivors(row, s, probe.min_needed(), probe.bound()[depth + 1]);
        while (m != 0) {
            const unsigned x = static_cast<unsigned>(__builtin_ctz(m));
            m &= m - 1;
            const std::uint32_t child = nd.child[x];
            const double sum = s + row[x];
            const std::int32_t qsum = qrow != nullptr ? q + qrow[x] : 0;
            const std::int32_t q8sum = q8row != nullptr ? q8 + q8row[(x / 16) * 32 + x % 16] : 0;
            if (child & kBucketBit) {
                const Bucket& b = buckets_[child & ~kBucketBit];
                if (b.max_rank < lo || b.min_rank >= v.hi()) continue;
                scan_bucket(probe, b, depth + 1, sum, qsum, q8sum, lo, v);
            } else {
                const Node& n = nodes_[child];
                if (n.max_rank < lo || n.min_rank >= v.hi()) continue;
                walk(probe, child, depth + 1, sum, qsum, q8sum, lo, v);
            }
        }
    }

    std::size_t len_;
    std::uint32_t bucket_max_;
    std::size_t n_ = 0;
    std::vector<std::uint8_t> flat_;  // every entry, chunks in rank order
    std::uint32_t root_ = kNoRank;
    bool indexed_ = true;
    std::vector<Node> nodes_;
    std::vector<Bucket> buckets_;
    // Anchors of these lengths have words: disjoint parts of the first eight tested steps, a bucket for
    // each of a part's words. (A search keeps the probe's best entries on the stack.)
    static constexpr std::size_t kWordsMinLen = 9, kWordsMaxLen = 40, kMaxPartSteps = 3, kMaxParts = 4;
    // Sets filled at once with this many times words_from entries or more have words of three steps: their
    // buckets, 21^3 a part, still hold many entries each, and a search reads fewer entries in all.
    static constexpr std::size_t kLongWordsTimes = 16;
    // A search with more admissible words than this, or whose buckets hold more than 1 / kWordsShare of
    // the set, costs more than the trie's scan, which rules out much of the set by prefix.
    static constexpr std::size_t kMaxWords = 1024;
    static constexpr std::size_t kWordsShare = 4;
    struct Words {
        std::size_t n_parts = 0;
        std::array<std::size_t, kMaxParts> n_steps{};
        std::array<std::array<std::size_t, kMaxPartSteps>, kMaxParts> steps{};
        std::array<std::vector<Bucket>, kMaxParts> buckets;  // per part, by word
    };
    std::size_t words_from_ = SIZE_MAX;
    std::unique_ptr<Words> words_;

    void build_words(bool long_words = false, const ForEach* for_each = nullptr);
    void add_words(const std::uint8_t* codes, std::uint32_t rank);
    std::size_t word(const std::uint8_t* codes, std::size_t part) const {
        std::size_t w = 0;
        for (std::size_t i = 0; i < words_->n_steps[part]; ++i) w = w * kCodes + codes[words_->steps[part][i]];
        return w;
    }
    // The greedy question through the words; false where the scan costs less.
    bool first_match_by_words(Probe& probe, FirstMatch* out) const;
    // The buckets (part << 32 | word, in probe.word_scratch()) that hold every entry ranked in [lo, hi)
    // that runs to full length, or kNone where no entry can, or kTrie where the trie's scan costs less.
    enum class WordBuckets { kNone, kSome, kTrie };
    WordBuckets word_buckets(Probe& probe, std::uint32_t lo, std::uint32_t hi) const;
};

}  // namespace kelvara::search
