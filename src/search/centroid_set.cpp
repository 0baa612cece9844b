#include "search/centroid_set.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

namespace kelvara::search {

namespace {

// The share of the largest similarity from which on a probe's cut is high enough for the 8-bit sums.
constexpr double kEightBitsFrom = 0.6;

// The fixed-point cut at step k for sums of entries rounded up after scaling by `scale`.
double fixed_cut(const SimTables& t, double min_needed, std::size_t k, double scale) {
    const double bound = t.suffix_bound[k + 1];
    const double delta =
        static_cast<double>(k + 8) * 0x1p-50 * (t.abs_scale_sum + std::fabs(min_needed) + std::fabs(bound) + 1.0);
    return std::floor((min_needed - bound - delta) * scale);
}

}  // namespace

std::vector<std::uint8_t> summing_codes(const SimTables& t, const std::uint8_t* residues, std::size_t n) {
    const std::size_t len = t.anchor_len;
    std::vector<std::uint8_t> out(n * len);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < len; ++k) out[i * len + k] = t.residue_code[residues[i * len + t.order[k]]];
    return out;
}

bool eight_bit_scans(const SimTables& t, double min_needed) {
    return !t.q8tables.empty() && std::isfinite(min_needed) && min_needed >= kEightBitsFrom * t.suffix_bound[0];
}

std::uint32_t bucket_max_for(const SimTables& t, double min_needed) {
    return eight_bit_scans(t, min_needed) ? CentroidSet::kLongBucketMax : CentroidSet::kBucketMax;
}

Probe::Probe(const SimTables& t, double min_needed)
    : step_tables_(t.anchor_len),
      rows_(t.anchor_len),
      bound_(t.suffix_bound.data()),
      min_needed_(min_needed),
      abs_scale_sum_(t.abs_scale_sum) {
    const std::size_t len = t.anchor_len;
    for (std::size_t k = 0; k < len; ++k) step_tables_[k] = t.row(t.order[k], 0);
    if (t.qtables.empty() || !std::isfinite(min_needed)) return;

    // The exit test at step k fires when min_needed > suffix_bound[k + 1] + s_k. The fixed-point partial
    // sum Q_k, over entries rounded up, bounds qscale times the exact sum of the entries from above, and s_k
    // (rounded double additions) differs from that exact sum by far less than delta. So
    // Q_k < qscale * (min_needed - suffix_bound[k + 1] - delta) proves that the double test fires; delta
    // also covers the roundings of the double test and of computing the cut.
    step_qtables_.resize(len);
    qrows_.resize(len);
    qcut_.resize(len);
    for (std::size_t k = 0; k < len; ++k) step_qtables_[k] = t.qrow(t.order[k], 0);
    for (std::size_t k = 0; k + 1 < len; ++k)
        qcut_[k] = static_cast<std::int16_t>(std::clamp(fixed_cut(t, min_needed, k, t.qscale), -32768.0, 32767.0));
    // The same bound in 8 bits. Its entries are rounded up from inexact products, an error of at most
    // 2^-53 of each, which delta covers many times over. Coarser, it rules out fewer entries, which pays
    // only where most entries fall well short of the cut: at low cuts many chunks hold an entry that
    // reaches it anyway, and the 16-bit sums alone are faster.
    if (!eight_bit_scans(t, min_needed)) return;
    step_q8tables_.resize(len);
    q8rows_.resize(len);
    q8cut_.resize(len);
    for (std::size_t k = 0; k < len; ++k) step_q8tables_[k] = t.q8row(t.order[k], 0);
    for (std::size_t k = 0; k + 1 < len; ++k)
        q8cut_[k] = static_cast<std::int8_t>(std::clamp(fixed_cut(t, min_needed, k, t.q8scale), -128.0, 127.0));
}

namespace {

std::atomic<std::size_t> g_words_from{16384};

}  // namespace

std::size_t words_from() {
    return g_words_from.load(std::memory_order_relaxed);
}

void set_words_from(std::size_t from) {
    g_words_from.store(from, std::memory_order_relaxed);
}

void Probe::sort_rows() {
    best_first_.resize(rows_.size() * kCodes * kCodes);
    for (std::size_t k = 0; k < rows_.size(); ++k) {
        for (std::size_t own = 0; own < kCodes; ++own) {
            const double* row = step_tables_[k] + own * kRowStride;
            std::uint8_t* out = best_first_.data() + (k * kCodes + own) * kCodes;
            for (unsigned x = 0; x < kCodes; ++x) out[x] = static_cast<std::uint8_t>(x);
            std::stable_sort(out, out + kCodes, [&](std::uint8_t a, std::uint8_t b) { return row[a] > row[b]; });
        }
    }
}

namespace {

struct FirstMatchVisitor {
    double min_needed = 0.0;
    std::vector<std::uint32_t>* full_depth = nullptr;  // ranks that ran to the end, not negative, no match
    std::vector<const std::uint32_t*>* slots = nullptr;  // the same, where their ranks lie
    std::uint32_t best = kNoRank;

    std::uint32_t hi() const { return best; }
    bool take(std::uint32_t rank, double s) {
        if (s < 0.0) return false;  // negative: an early exit in the counters
        if (s >= min_needed) {
            best = rank;
            return true;
        }
        full_depth->push_back(rank);
        return false;
    }
    // The same for a rank not read yet, and perhaps not below best: only a match needs it now.
    bool take_slot(const std::uint32_t* slot, double s) {
        if (s < 0.0) return false;
        if (s >= min_needed) return *slot < best && take(*slot, s);
        slots->push_back(slot);
        return false;
    }
    // Moves the slots' ranks into full_depth (those past best count for nothing).
    void read_slots() {
        constexpr std::size_t kAhead = 8;
        const std::size_t n = slots->size();
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) __builtin_prefetch((*slots)[i + kAhead]);
            full_depth->push_back(*(*slots)[i]);
        }
        slots->clear();
    }
};

// Every entry ranked before the match was compared; those that did not run to the end without a negative
// sum ended negative.
FirstMatch answer(FirstMatchVisitor& v, std::size_t n) {
    v.read_slots();
    FirstMatch out;
    out.rank = v.best;
    const std::uint64_t before = v.best == kNoRank ? n : v.best;
    std::uint64_t non_negative = 0;
    for (std::uint32_t r : *v.full_depth) non_negative += r < v.best;
    out.comparisons = v.best == kNoRank ? n : before + 1;
    out.early_exits = before - non_negative;
    return out;
}

}  // namespace

void CentroidSet::index_words(std::size_t from) {
    if (len_ < kWordsMinLen || len_ > kWordsMaxLen) return;
    words_from_ = from;
    if (!words_ && n_ >= words_from_) build_words();
}

void CentroidSet::build_words(bool long_words, const ForEach* for_each) {
    words_ = std::make_unique<Words>();
    Words& w = *words_;
    if (long_words) {
        // Steps three apart: the two heaviest steps still fall in parts of their own.
        w.n_parts = 3;
        w.n_steps = {3, 3, 2, 0};
        w.steps = {{{0, 3, 6}, {1, 4, 7}, {2, 5, 0}, {}}};
    } else {
        // Each part pairs a step with the step four later in summing order: the two heaviest steps fall
        // in parts of their own, and the shares of the budget come out alike.
        w.n_parts = 4;
        for (std::size_t p = 0; p < w.n_parts; ++p) {
            w.n_steps[p] = 2;
            w.steps[p] = {p, p + 4, 0};
        }
    }
    auto fill = [&](std::size_t p) {
        std::size_t words = 1;
        for (std::size_t i = 0; i < w.n_steps[p]; ++i) words *= kCodes;
        w.buckets[p].resize(words);
        std::vector<std::uint8_t> entry(len_);
        for (std::size_t r = 0; r < n_; ++r) {
            const std::uint8_t* src = flat_.data() + (r / kLanes) * kLanes * len_ + r % kLanes;
            for (std::size_t k = 0; k < len_; ++k) entry[k] = src[k * kLanes];
            Bucket& b = w.buckets[p][word(entry.data(), p)];
            if (b.n == 0) b.min_rank = static_cast<std::uint32_t>(r);
            push(b, entry.data(), static_cast<std::uint32_t>(r));
            b.max_rank = static_cast<std::uint32_t>(r);
        }
    };
    if (for_each != nullptr) {
        (*for_each)(w.n_parts, fill);
    } else {
        for (std::size_t p = 0; p < w.n_parts; ++p) fill(p);
    }
}

void CentroidSet::add_words(const std::uint8_t* codes, std::uint32_t rank) {
    for (std::size_t p = 0; p < words_->n_parts; ++p) {
        Bucket& b = words_->buckets[p][word(codes, p)];
        if (b.n == 0) b.min_rank = rank;
        push(b, codes, rank);
        b.max_rank = rank;
    }
}

CentroidSet::WordBuckets CentroidSet::word_buckets(Probe& probe, std::uint32_t lo, std::uint32_t hi) const {
    if (probe.qrows() == nullptr) return WordBuckets::kTrie;
    const double* const* rows = probe.rows();
    const double min_needed = probe.min_needed();
    const std::size_t tested = len_ - 1;

    // Per tested step the probe's best entry; the budget of deficits within which an entry passes the last
    // exit test, widened by far more than the roundings of the sums on either side.
    std::array<double, kWordsMaxLen> best{};
    double sum_best = 0.0, abs_best = 0.0;
    for (std::size_t k = 0; k < tested; ++k) {
        best[k] = rows[k][probe.best_first(k)[0]];
        sum_best += best[k];
        abs_best += std::fabs(best[k]);
    }
    const double last_bound = probe.bound()[tested];
    const double margin = 0x1p-40 * static_cast<double>(len_) *
                          (probe.abs_scale_sum() + std::fabs(min_needed) + std::fabs(last_bound) + abs_best + 1.0);
    const double budget = sum_best - (min_needed - last_bound) + margin;
    if (!std::isfinite(budget)) return WordBuckets::kTrie;
    // Not one entry passes the last test.
    if (budget < 0.0) return WordBuckets::kNone;
    // The shares in proportion to the parts' best entries, adding up to the budget: the steps outside
    // every part only ever make an entry's deficit larger.
    const std::size_t n_parts = words_->n_parts;
    std::array<double, kMaxParts> weight{};
    for (std::size_t p = 0; p < n_parts; ++p)
        for (std::size_t i = 0; i < words_->n_steps[p]; ++i) weight[p] += std::max(best[words_->steps[p][i]], 0.0);
    double total = 0.0;
    for (double x : weight) total += x;
    std::array<double, kMaxParts> share{};
    double given = 0.0;
    for (std::size_t p = 0; p + 1 < n_parts; ++p) {
        share[p] = budget * (total > 0.0 ? weight[p] / total : 1.0 / static_cast<double>(n_parts));
        given += share[p];
    }
    share[n_parts - 1] = budget - given;

    // Every admissible word of each part: the codes of each step best first, so that a step stops at its
    // first code past the share (adding a deficit never lowers a sum of them).
    std::vector<std::uint64_t>& words = probe.word_scratch();
    words.clear();
    for (std::size_t p = 0; p < n_parts; ++p) {
        const auto& steps = words_->steps[p];
        const std::size_t n_steps = words_->n_steps[p];
        std::array<const std::uint8_t*, kMaxPartSteps> order{};
        for (std::size_t i = 0; i < n_steps; ++i) order[i] = probe.best_first(steps[i]);
        std::array<unsigned, kMaxPartSteps> at{};
        std::array<double, kMaxPartSteps + 1> d{};
        std::array<std::size_t, kMaxPartSteps + 1> w{};
        for (std::size_t i = 0;;) {
            if (at[i] < kCodes) {
                const std::size_t k = steps[i];
                const unsigned x = order[i][at[i]];
                const double next = d[i] + (best[k] - rows[k][x]);
                if (!(next > share[p])) {
                    d[i + 1] = next;
                    w[i + 1] = w[i] * kCodes + x;
                    if (i + 1 == n_steps) {
                        if (words.size() == kMaxWords) return WordBuckets::kTrie;
                        words.push_back(std::uint64_t{p} << 32 | w[i + 1]);
                        ++at[i];
                    } else {
                        at[++i] = 0;
                    }
                    continue;
                }
            }
            if (i == 0) break;
            ++at[--i];
        }
    }
    for (const std::uint64_t pw : words) __builtin_prefetch(&words_->buckets[pw >> 32][pw & 0xFFFFFFFFu]);
    // Then the first chunks of the buckets in use, so that their misses overlap too.
    std::size_t used = 0, entries = 0;
    for (const std::uint64_t pw : words) {
        const Bucket& b = words_->buckets[pw >> 32][pw & 0xFFFFFFFFu];
        if (b.n == 0 || b.max_rank < lo || b.min_rank >= hi) continue;
        for (std::size_t line = 0; line < kLanes * len_ && line < b.codes.size(); line += 64)
            __builtin_prefetch(b.codes.data() + line);
        __builtin_prefetch(b.ranks.data());
        // A range that cuts into the bucket starts at a chunk found among the chunks' first ranks.
        if (lo > b.min_rank) __builtin_prefetch(b.firsts.data() + b.firsts.size() / 2);
        words[used++] = pw;
        entries += b.n;
    }
    // The trie rules out much of the set by prefix, the buckets nothing.
    if (entries * kWordsShare > hi - lo) return WordBuckets::kTrie;
    words.resize(used);
    return WordBuckets::kSome;
}

bool CentroidSet::first_match_by_words(Probe& probe, FirstMatch* out) const {
    const double min_needed = probe.min_needed();
    switch (word_buckets(probe, 0, static_cast<std::uint32_t>(n_))) {
        case WordBuckets::kTrie:
            return false;
        case WordBuckets::kNone:
            // Every entry is compared and exits.
            *out = FirstMatch{kNoRank, n_, n_};
            return true;
        case WordBuckets::kSome:
            break;
    }
    const std::vector<std::uint64_t>& words = probe.word_scratch();
    std::vector<std::uint32_t>& full_depth = probe.scratch();
    full_depth.clear();
    probe.slot_scratch().clear();
    FirstMatchVisitor v{min_needed, &full_depth, &probe.slot_scratch()};
    for (const std::uint64_t pw : words) {
        const Bucket& b = words_->buckets[pw >> 32][pw & 0xFFFFFFFFu];
        if (b.n == 0 || b.min_rank >= v.hi()) continue;
        scan_bucket(probe, b, 0, 0.0, 0, 0, 0, v);
    }
    // An entry within the shares of several parts was taken in each.
    v.read_slots();
    std::sort(full_depth.begin(), full_depth.end());
    full_depth.erase(std::unique(full_depth.begin(), full_depth.end()), full_depth.end());
    *out = answer(v, n_);
    return true;
}

FirstMatch CentroidSet::first_match(Probe& probe) const {
    if (words_) {
        FirstMatch out;
        if (first_match_by_words(probe, &out)) return out;
    }
    std::vector<std::uint32_t>& full_depth = probe.scratch();
    full_depth.clear();
    probe.slot_scratch().clear();
    FirstMatchVisitor v{probe.min_needed(), &full_depth, &probe.slot_scratch()};
    if (n_ < kOneByOne) {
        v.best = static_cast<std::uint32_t>(n_);
        scan_one_by_one(probe, 0, v);
        if (v.best == n_) v.best = kNoRank;
    } else {
        scan_flat(probe, 0, v, indexed_ ? kHead : kNoRank);
    }
    if (v.best == kNoRank && root_ != kNoRank) walk(probe, root_, 0, 0.0, 0, 0, kHead, v);

    return answer(v, n_);
}

void CentroidSet::push(std::vector<std::uint8_t>& codes, std::vector<std::uint32_t>* ranks, std::size_t i,
                       const std::uint8_t* entry, std::uint32_t rank) const {
    const std::size_t chunk = i / kLanes, lane = i % kLanes;
    if (lane == 0) {
        codes.resize(codes.size() + kLanes * len_, 0);
        if (ranks != nullptr) ranks->resize(ranks->size() + kLanes, kNoRank);
    }
    std::uint8_t* out = codes.data() + chunk * kLanes * len_ + lane;
    for (std::size_t k = 0; k < len_; ++k) out[k * kLanes] = entry[k];
    if (ranks != nullptr) (*ranks)[i] = rank;
}

void CentroidSet::push(Bucket& b, const std::uint8_t* entry, std::uint32_t rank) const {
    if (b.n % kLanes == 0) b.firsts.push_back(rank);
    push(b.codes, &b.ranks, b.n++, entry, rank);
}

void CentroidSet::add(const std::uint8_t* codes) {
    const auto rank = static_cast<std::uint32_t>(n_);
    push(flat_, nullptr, n_, codes, rank);
    ++n_;
    if (rank >= kHead && indexed_) insert(codes, rank);
    if (words_) {
        add_words(codes, rank);
    } else if (n_ >= words_from_) {
        build_words();
    }
}

std::uint32_t CentroidSet::new_bucket(std::uint32_t rank) {
    buckets_.emplace_back();
    buckets_.back().min_rank = buckets_.back().max_rank = rank;
    return static_cast<std::uint32_t>(buckets_.size() - 1);
}

std::uint32_t CentroidSet::new_node(std::uint32_t rank) {
    nodes_.emplace_back();
    nodes_.back().min_rank = nodes_.back().max_rank = rank;
    return static_cast<std::uint32_t>(nodes_.size() - 1);
}

void CentroidSet::insert(const std::uint8_t* codes, std::uint32_t rank) {
    if (root_ == kNoRank) root_ = new_node(rank);
    std::uint32_t node = root_;
    for (std::size_t depth = 0;; ++depth) {
        nodes_[node].max_rank = rank;  // ranks arrive in ascending order
        const unsigned x = codes[depth];
        if (!(nodes_[node].mask >> x & 1u)) {
            const std::uint32_t b = new_bucket(rank);
            Bucket& bucket = buckets_[b];
            push(bucket, codes, rank);
            nodes_[node].child[x] = b | kBucketBit;
            nodes_[node].mask |= 1u << x;
            return;
        }
        const std::uint32_t child = nodes_[node].child[x];
        if (!(child & kBucketBit)) {
            node = child;
            continue;
        }
        const std::uint32_t b = child & ~kBucketBit;
        Bucket& bucket = buckets_[b];
        push(bucket, codes, rank);
        bucket.max_rank = rank;
        // Entries that share every code cannot be split further.
        if (bucket.n > bucket_max_ && depth + 1 < len_) {
            const std::uint32_t split = burst(b, depth + 1);
            nodes_[node].child[x] = split;
        }
        return;
    }
}

void CentroidSet::assign(const std::uint8_t* base, const std::size_t* ids, std::size_t n, bool index,
                         const ForEach* for_each) {
    auto each = [&](std::size_t count, const std::function<void(std::size_t)>& body) {
        if (for_each != nullptr) {
            (*for_each)(count, body);
        } else {
            for (std::size_t i = 0; i < count; ++i) body(i);
        }
    };
    indexed_ = index;
    // The flat list in runs of whole chunks, each written on its own.
    constexpr std::size_t kRunChunks = 256;
    const std::size_t chunks = (n + kLanes - 1) / kLanes;
    flat_.assign(chunks * kLanes * len_, 0);
    each((chunks + kRunChunks - 1) / kRunChunks, [&](std::size_t run) {
        const std::size_t end = std::min(n, (run + 1) * kRunChunks * kLanes);
        for (std::size_t r = run * kRunChunks * kLanes; r < end; ++r) {
            // Entries sit anywhere in `base`: later ones are fetched ahead.
            constexpr std::size_t kAhead = 16;
            if (r + kAhead < end) __builtin_prefetch(base + ids[r + kAhead] * len_);
            std::uint8_t* out = flat_.data() + (r / kLanes) * kLanes * len_ + r % kLanes;
            const std::uint8_t* entry = base + ids[r] * len_;
            for (std::size_t k = 0; k < len_; ++k) out[k * kLanes] = entry[k];
        }
    });
    n_ = n;
    if (n_ >= words_from_) build_words(n_ / kLongWordsTimes >= words_from_, for_each);
    if (n <= kHead || !indexed_) return;
    root_ = new_node(kHead);
    nodes_[root_].max_rank = static_cast<std::uint32_t>(n - 1);
    // The root's children as a burst would make them, at depth 0, with the root in place of the bucket.
    std::array<std::vector<std::uint32_t>, kCodes> by_code;
    for (std::size_t r = kHead; r < n; ++r) by_code[base[ids[r] * len_]].push_back(static_cast<std::uint32_t>(r));
    // Each child's subtree is grown on its own, then appended in code order: the numbering a single
    // depth-first growth would give.
    struct Part {
        std::vector<Node> nodes;
        std::vector<Bucket> buckets;
        std::uint32_t child = 0;
    };
    std::vector<unsigned> codes;
    for (unsigned x = 0; x < kCodes; ++x)
        if (!by_code[x].empty()) codes.push_back(x);
    std::vector<Part> parts(codes.size());
    each(codes.size(), [&](std::size_t k) {
        Part& part = parts[k];
        part.child = grow(part.nodes, part.buckets, base, ids, by_code[codes[k]], 0);
    });
    for (std::size_t k = 0; k < codes.size(); ++k) {
        Part& part = parts[k];
        const auto node_base = static_cast<std::uint32_t>(nodes_.size());
        const auto bucket_base = static_cast<std::uint32_t>(buckets_.size());
        auto moved = [&](std::uint32_t child) {
            return child & kBucketBit ? (child + bucket_base) | kBucketBit : child + node_base;
        };
        for (Node& node : part.nodes) {
            for (std::uint32_t m = node.mask; m != 0; m &= m - 1) {
                const unsigned x = static_cast<unsigned>(__builtin_ctz(m));
                node.child[x] = moved(node.child[x]);
            }
            nodes_.push_back(node);
        }
        for (Bucket& bucket : part.buckets) buckets_.push_back(std::move(bucket));
        nodes_[root_].child[codes[k]] = moved(part.child);
        nodes_[root_].mask |= 1u << codes[k];
    }
}

// The child for `ranks` (ascending, sharing their codes up to `depth`): a bucket, or where one would have
// burst, a node keyed by the code at depth + 1.
std::uint32_t CentroidSet::grow(std::vector<Node>& nodes, std::vector<Bucket>& buckets, const std::uint8_t* base,
                                const std::size_t* ids, std::vector<std::uint32_t>& ranks, std::size_t depth) const {
    if (ranks.size() <= bucket_max_ || depth + 1 >= len_) {
        buckets.emplace_back();
        Bucket& bucket = buckets.back();
        bucket.min_rank = ranks.front();
        const std::size_t chunks = (ranks.size() + kLanes - 1) / kLanes;
        bucket.codes.reserve(chunks * kLanes * len_);
        bucket.ranks.reserve(chunks * kLanes);
        bucket.firsts.reserve(chunks);
        for (std::size_t i = 0; i < ranks.size(); ++i) {
            if (i + 16 < ranks.size()) __builtin_prefetch(base + ids[ranks[i + 16]] * len_);
            push(bucket, base + ids[ranks[i]] * len_, ranks[i]);
        }
        bucket.max_rank = ranks.back();
        return static_cast<std::uint32_t>(buckets.size() - 1) | kBucketBit;
    }
    const auto node = static_cast<std::uint32_t>(nodes.size());
    nodes.emplace_back();
    nodes[node].min_rank = ranks.front();
    nodes[node].max_rank = ranks.back();
    std::array<std::vector<std::uint32_t>, kCodes> by_code;
    for (std::uint32_t r : ranks) by_code[base[ids[r] * len_ + depth + 1]].push_back(r);
    ranks = {};
    for (unsigned x = 0; x < kCodes; ++x) {
        if (by_code[x].empty()) continue;
        const std::uint32_t child = grow(nodes, buckets, base, ids, by_code[x], depth + 1);
        nodes[node].child[x] = child;
        nodes[node].mask |= 1u << x;
    }
    return node;
}

// Turns a bucket whose entries share their codes before `depth` into a node keyed by the code at `depth`.
std::uint32_t CentroidSet::burst(std::uint32_t b, std::size_t depth) {
    Bucket old = std::move(buckets_[b]);
    buckets_[b] = Bucket();
    const std::uint32_t node = new_node(old.min_rank);
    nodes_[node].max_rank = old.max_rank;
    bool reused = false;
    std::vector<std::uint8_t> entry(len_);
    for (std::size_t i = 0; i < old.n; ++i) {
        const std::uint8_t* src = old.codes.data() + (i / kLanes) * kLanes * len_ + i % kLanes;
        for (std::size_t k = 0; k < len_; ++k) entry[k] = src[k * kLanes];
        const std::uint32_t rank = old.ranks[i];
        const unsigned x = entry[depth];
        if (!(nodes_[node].mask >> x & 1u)) {
            // The old slot is recycled for the first child.
            std::uint32_t c;
            if (reused) {
                c = new_bucket(rank);
            } else {
                c = b;
                buckets_[b].min_rank = buckets_[b].max_rank = rank;
                reused = true;
            }
            nodes_[node].child[x] = c | kBucketBit;
            nodes_[node].mask |= 1u << x;
        }
        Bucket& child = buckets_[nodes_[node].child[x] & ~kBucketBit];
        push(child, entry.data(), rank);
        child.max_rank = rank;
    }
    if (depth + 1 < len_) {
        for (unsigned x = 0; x < kCodes; ++x) {
            if (!(nodes_[node].mask >> x & 1u)) continue;
            const std::uint32_t c = nodes_[node].child[x] & ~kBucketBit;
            if (buckets_[c].n > bucket_max_) {
                const std::uint32_t split = burst(c, depth + 1);
                nodes_[node].child[x] = split;
            }
        }
    }
    return node;
}

}  // namespace kelvara::search
