// The x86 kernels. Each function carries its own target attribute instead of the file carrying -m flags:
// the package is built for any x86-64, and nothing compiled here may end up on a path the processor
// cannot run (inline functions shared with other files would, under per-file flags).
#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "anchors/sim_tables.hpp"
#include "search/kernels.hpp"

// GCC 12 mistakes the deliberately undefined operands inside some intrinsics for uninitialised values.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define KELVARA_AVX2 __attribute__((target("avx2")))
#define KELVARA_AVX512 __attribute__((target("avx512f,avx512bw")))

namespace kelvara::search {

namespace {

constexpr std::uint32_t kAllLanes = 0xFFFFFFFFu;

std::uint32_t valid_lanes(const ScanArgs& a, std::size_t c) {
    const std::size_t left = a.n_entries - c * kLanes;
    return left >= kLanes ? kAllLanes : (1u << left) - 1;
}

// The exact sums of the lanes a filter could not rule out; true when some of them live.
__attribute__((always_inline)) inline bool settle_lanes(const ScanArgs& a, std::size_t c, std::uint32_t exited,
                                                        LiveChunk* out) {
    if (exited == kAllLanes) return false;
    out->live = exact_lanes(a, c, ~exited, out->sums);
    return out->live != 0;
}

// The double sums test every step but only stop once every lane has exited, looked at every eighth step:
// a branch that mispredicts costs more than the steps it saves on short anchors, while long ones still
// stop early.
constexpr std::size_t kCheckEvery = 8;

KELVARA_AVX512 inline __m512d lookup8(__m512d r0, __m512d r1, __m512d r2, const std::uint8_t* codes) {
    const __m512i idx = _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes)));
    const __m512d lo = _mm512_permutex2var_pd(r0, idx, r1);
    const __m512d hi = _mm512_permutexvar_pd(idx, r2);
    return _mm512_mask_blend_pd(_mm512_test_epi64_mask(idx, _mm512_set1_epi64(16)), lo, hi);
}

// Four groups of eight lanes side by side: four independent chains of additions.
KELVARA_AVX512 std::size_t scan_avx512_double(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    const std::size_t len = a.len, n_chunks = chunk_count(a.n_entries);
    const __m512d thr = _mm512_set1_pd(a.min_needed);
    for (std::size_t c = first; c < n_chunks; ++c) {
        const std::uint8_t* codes = a.codes + c * kLanes * len;
        __m512d s[4];
        for (auto& v : s) v = _mm512_set1_pd(a.s0);
        std::uint32_t exited = ~valid_lanes(a, c);
        for (std::size_t k = a.k0; k < len; ++k) {
            const double* row = a.rows[k];
            const __m512d r0 = _mm512_loadu_pd(row), r1 = _mm512_loadu_pd(row + 8), r2 = _mm512_loadu_pd(row + 16);
            for (unsigned g = 0; g < 4; ++g)
                s[g] = _mm512_add_pd(s[g], lookup8(r0, r1, r2, codes + k * kLanes + 8 * g));
            if (k + 1 < len) {
                const __m512d b = _mm512_set1_pd(a.bound[k + 1]);
                for (unsigned g = 0; g < 4; ++g)
                    exited |= static_cast<std::uint32_t>(_mm512_cmp_pd_mask(thr, _mm512_add_pd(b, s[g]), _CMP_GT_OQ))
                              << (8 * g);
                if ((k - a.k0) % kCheckEvery == kCheckEvery - 1 && exited == kAllLanes) break;
            }
        }
        if (exited != kAllLanes) {
            for (unsigned g = 0; g < 4; ++g) _mm512_store_pd(out->sums + 8 * g, s[g]);
            out->live = ~exited;
            return c;
        }
    }
    return n_chunks;
}

// Steps summed in fixed point between two exit tests. With non-negative weights a lane that fails the exit
// test at one step fails it at every later step too (up to rounding), so testing once after many steps
// proves almost every exit the per-step tests would, without a compare and a branch per step.
constexpr std::size_t kQStepsPerTest = 16;

// The fixed-point pre-filter: 32 lanes of 16-bit sums, one permute per step looks all of them up. A lane
// whose sum drops below a step's cut has provably exited; the few that never do are summed in double.
KELVARA_AVX512 inline __m512i qlookup32(const std::uint8_t* codes, const __m512i row) {
    const __m512i idx = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes)));
    return _mm512_permutexvar_epi16(idx, row);
}

KELVARA_AVX512 std::size_t scan_avx512(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    if (a.qrows == nullptr) return scan_avx512_double(a, first, out);
    const std::size_t len = a.len, n_chunks = chunk_count(a.n_entries), stride = kLanes * len;
    const std::size_t tested = len - 1;  // the last step has no exit test
    const __m512i start = _mm512_set1_epi16(static_cast<short>(a.q0));
    auto settle = [&](std::size_t c, std::uint32_t exited) { return settle_lanes(a, c, exited, out); };
    std::size_t c = first;
    if (tested - std::min(tested, a.k0) <= kQStepsPerTest) {
        // Short anchors: one test at the end, and four chunks at a time sharing each row.
        const __m512i cut = _mm512_set1_epi16(tested > a.k0 ? a.qcut[tested - 1] : 0);
        const std::uint32_t tests = tested > a.k0 ? kAllLanes : 0;
        for (; c + 4 <= n_chunks; c += 4) {
            const std::uint8_t* codes = a.codes + c * stride;
            __m512i q0 = start, q1 = start, q2 = start, q3 = start;
            for (std::size_t k = a.k0; k < tested; ++k) {
                const __m512i row = _mm512_loadu_si512(a.qrows[k]);
                q0 = _mm512_add_epi16(q0, qlookup32(codes + k * kLanes, row));
                q1 = _mm512_add_epi16(q1, qlookup32(codes + stride + k * kLanes, row));
                q2 = _mm512_add_epi16(q2, qlookup32(codes + 2 * stride + k * kLanes, row));
                q3 = _mm512_add_epi16(q3, qlookup32(codes + 3 * stride + k * kLanes, row));
            }
            if (settle(c, ~valid_lanes(a, c) | (_mm512_cmplt_epi16_mask(q0, cut) & tests))) return c;
            if (settle(c + 1, ~valid_lanes(a, c + 1) | (_mm512_cmplt_epi16_mask(q1, cut) & tests))) return c + 1;
            if (settle(c + 2, ~valid_lanes(a, c + 2) | (_mm512_cmplt_epi16_mask(q2, cut) & tests))) return c + 2;
            if (settle(c + 3, ~valid_lanes(a, c + 3) | (_mm512_cmplt_epi16_mask(q3, cut) & tests))) return c + 3;
        }
    }
    for (; c < n_chunks; ++c) {
        const std::uint8_t* codes = a.codes + c * stride;
        __m512i q = start;
        std::uint32_t exited = ~valid_lanes(a, c);
        for (std::size_t k = a.k0; k < tested && exited != kAllLanes;) {
            const std::size_t stop = std::min(tested, k + kQStepsPerTest);
            for (; k < stop; ++k)
                q = _mm512_add_epi16(q, qlookup32(codes + k * kLanes, _mm512_loadu_si512(a.qrows[k])));
            exited |= _mm512_cmplt_epi16_mask(q, _mm512_set1_epi16(a.qcut[k - 1]));
        }
        if (settle(c, exited)) return c;
    }
    return n_chunks;
}

KELVARA_AVX512 std::uint32_t survivors_avx512(const double* row, double s, double min_needed, double bound_next) {
    const __m512d vs = _mm512_set1_pd(s), vb = _mm512_set1_pd(bound_next), vt = _mm512_set1_pd(min_needed);
    std::uint32_t pruned = 0;
    for (unsigned j = 0; j < 3; ++j) {
        const __m512d w = _mm512_add_pd(vb, _mm512_add_pd(vs, _mm512_loadu_pd(row + 8 * j)));
        pruned |= static_cast<std::uint32_t>(_mm512_cmp_pd_mask(vt, w, _CMP_GT_OQ)) << (8 * j);
    }
    return ~pruned & ((1u << kCodes) - 1);
}

KELVARA_AVX2 inline __m256d lookup4(const double* row, const std::uint8_t* codes) {
    std::int32_t packed;
    std::memcpy(&packed, codes, sizeof packed);
    const __m128i idx = _mm_cvtepu8_epi32(_mm_cvtsi32_si128(packed));
    return _mm256_i32gather_pd(row, idx, 8);
}

KELVARA_AVX2 inline std::uint32_t exits4(__m256d thr, __m256d b, __m256d s) {
    return static_cast<std::uint32_t>(_mm256_movemask_pd(_mm256_cmp_pd(thr, _mm256_add_pd(b, s), _CMP_GT_OQ)));
}

// Eight groups of four lanes side by side.
KELVARA_AVX2 std::size_t scan_avx2_double(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    const std::size_t len = a.len, n_chunks = chunk_count(a.n_entries);
    const __m256d thr = _mm256_set1_pd(a.min_needed);
    for (std::size_t c = first; c < n_chunks; ++c) {
        const std::uint8_t* codes = a.codes + c * kLanes * len;
        __m256d s[8];
        for (auto& v : s) v = _mm256_set1_pd(a.s0);
        std::uint32_t exited = ~valid_lanes(a, c);
        for (std::size_t k = a.k0; k < len; ++k) {
            const double* row = a.rows[k];
            for (unsigned g = 0; g < 8; ++g) s[g] = _mm256_add_pd(s[g], lookup4(row, codes + k * kLanes + 4 * g));
            if (k + 1 < len) {
                const __m256d b = _mm256_set1_pd(a.bound[k + 1]);
                for (unsigned g = 0; g < 8; ++g) exited |= exits4(thr, b, s[g]) << (4 * g);
                if ((k - a.k0) % kCheckEvery == kCheckEvery - 1 && exited == kAllLanes) break;
            }
        }
        if (exited != kAllLanes) {
            for (unsigned g = 0; g < 8; ++g) _mm256_store_pd(out->sums + 4 * g, s[g]);
            out->live = ~exited;
            return c;
        }
    }
    return n_chunks;
}

// Sixteen 16-bit entries looked up by byte shuffles: the low and the high bytes come from the two halves
// of one shuffle table (codes 0-15) or the other (codes 16-20), and are then interleaved into words.
KELVARA_AVX2 inline __m256i qlookup16(__m256i ta, __m256i tb, const std::uint8_t* codes) {
    const __m256i cc = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes)));
    const __m256i high_code = _mm256_cmpgt_epi8(cc, _mm256_set1_epi8(15));
    const __m256i bytes = _mm256_blendv_epi8(_mm256_shuffle_epi8(ta, cc), _mm256_shuffle_epi8(tb, cc), high_code);
    const __m256i halves = _mm256_permute4x64_epi64(bytes, 0xD8);  // low and high bytes of lanes 0-7 | 8-15
    return _mm256_unpacklo_epi8(halves, _mm256_bsrli_epi128(halves, 8));
}

// Lanes 0-15 and 16-31 of a chunk whose sums are below the cut, as one mask.
KELVARA_AVX2 inline std::uint32_t below16(__m256i cut, __m256i lo, __m256i hi) {
    const __m256i below = _mm256_packs_epi16(_mm256_cmpgt_epi16(cut, lo), _mm256_cmpgt_epi16(cut, hi));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_permute4x64_epi64(below, 0xD8)));
}

// One step of 32 lanes in 8 bits: the lanes' codes at a step are one 32-byte load, and a byte shuffle of
// each half of the row (codes 0-15, codes 16-20) with a blend looks them all up.
KELVARA_AVX2 inline __m256i q8lookup32(__m256i ta, __m256i tb, const std::uint8_t* codes) {
    const __m256i cc = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes));
    const __m256i high_code = _mm256_cmpgt_epi8(cc, _mm256_set1_epi8(15));
    return _mm256_blendv_epi8(_mm256_shuffle_epi8(ta, cc), _mm256_shuffle_epi8(tb, cc), high_code);
}

// The same step through the classes' bounds: one shuffle, since code & 15 is the class.
KELVARA_AVX2 inline __m256i q8classes32(__m256i tr, const std::uint8_t* codes) {
    return _mm256_shuffle_epi8(tr, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes)));
}

// Lanes whose 8-bit sum is below the cut.
KELVARA_AVX2 inline std::uint32_t below32(__m256i cut, __m256i q) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(cut, q)));
}

KELVARA_AVX2 inline __m256i q8half(const std::int8_t* row, unsigned half) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 * half));
}

// The lanes of chunk c that the 16-bit sums prove to exit: for a chunk the 8-bit sums, being coarser, left
// several lanes of, this costs less than summing them in double.
KELVARA_AVX2 std::uint32_t q16exited(const ScanArgs& a, std::size_t c) {
    const std::size_t tested = a.len - 1;
    const std::uint8_t* codes = a.codes + c * kLanes * a.len;
    const __m256i start = _mm256_set1_epi16(static_cast<short>(a.q0));
    __m256i q0 = start, q1 = start;
    std::uint32_t exited = 0;
    for (std::size_t k = a.k0; k < tested;) {
        const std::size_t stop = std::min(tested, k + kQStepsPerTest);
        for (; k < stop; ++k) {
            const auto* planes = reinterpret_cast<const std::uint8_t*>(a.qrows[k] + 32);
            const __m256i ta = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(planes));
            const __m256i tb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(planes + 32));
            q0 = _mm256_add_epi16(q0, qlookup16(ta, tb, codes + k * kLanes));
            q1 = _mm256_add_epi16(q1, qlookup16(ta, tb, codes + k * kLanes + 16));
        }
        exited |= below16(_mm256_set1_epi16(a.qcut[k - 1]), q0, q1);
    }
    return exited;
}

// Lanes the 8-bit sums leave in a chunk from which on the 16-bit sums look again.
constexpr int kRecheckFrom = 3;

// The lanes of chunk c of a short run that exit: those the class bounds `r` prove, then those the codes'
// own bounds prove.
KELVARA_AVX2 inline std::uint32_t q8exited(const ScanArgs& a, std::size_t c, __m256i r, __m256i cut,
                                           std::uint32_t tests, __m256i start) {
    const std::uint32_t out = ~valid_lanes(a, c) | (below32(cut, r) & tests);
    if (out == kAllLanes) return out;
    const std::uint8_t* codes = a.codes + c * kLanes * a.len;
    __m256i q = start;
    for (std::size_t k = a.k0; k + 1 < a.len; ++k)
        q = _mm256_adds_epi8(q, q8lookup32(q8half(a.q8rows[k], 0), q8half(a.q8rows[k], 1), codes + k * kLanes));
    return out | (below32(cut, q) & tests);
}

// The 8-bit pre-filter: a whole chunk per register, its sums added with saturation (which can only raise a
// sum that fell below -128, and the tables keep every sum below 127). For short anchors four chunks side by
// side share each row and are tested once at the end.
KELVARA_AVX2 std::size_t scan_avx2_q8(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    const std::size_t len = a.len, n_chunks = chunk_count(a.n_entries), stride = kLanes * len;
    const std::size_t tested = len - 1;
    const __m256i start = _mm256_set1_epi8(static_cast<char>(std::max<std::int32_t>(a.q80, -128)));
    auto settle = [&](std::size_t c, std::uint32_t exited) {
        if (__builtin_popcount(~exited) >= kRecheckFrom) exited |= q16exited(a, c);
        return settle_lanes(a, c, exited, out);
    };
    std::size_t c = first;
    if (tested - std::min(tested, a.k0) <= kQStepsPerTest) {
        const __m256i cut = _mm256_set1_epi8(static_cast<char>(tested > a.k0 ? a.q8cut[tested - 1] : 0));
        const std::uint32_t tests = tested > a.k0 ? kAllLanes : 0;
        // A step halfway with an exit test of its own, or none for runs too short to gain from one.
        const std::size_t half = tested >= a.k0 + 4 ? a.k0 + (tested - a.k0) / 2 - 1 : SIZE_MAX;
        // The class bounds first, as long as they rule out whole groups of chunks often enough to pay.
        for (unsigned groups = 0, misses = 0; c + 4 <= n_chunks && 4 * misses <= groups + 8; c += 4) {
            ++groups;
            const std::uint8_t* codes = a.codes + c * stride;
            __m256i r0 = start, r1 = start, r2 = start, r3 = start;
            bool all_out = false;
            for (std::size_t k = a.k0; k < tested; ++k) {
                const __m256i tr = q8half(a.q8rows[k], 2);
                const std::uint8_t* at = codes + k * kLanes;
                r0 = _mm256_adds_epi8(r0, q8classes32(tr, at));
                r1 = _mm256_adds_epi8(r1, q8classes32(tr, at + stride));
                r2 = _mm256_adds_epi8(r2, q8classes32(tr, at + 2 * stride));
                r3 = _mm256_adds_epi8(r3, q8classes32(tr, at + 3 * stride));
                // Halfway, every lane may have exited already.
                if (k == half) {
                    const __m256i at_half = _mm256_set1_epi8(static_cast<char>(a.q8cut[k]));
                    if ((below32(at_half, r0) & below32(at_half, r1) & below32(at_half, r2) &
                         below32(at_half, r3)) == kAllLanes) {
                        all_out = true;
                        break;
                    }
                }
            }
            if (all_out) continue;
            if (tests == kAllLanes && (below32(cut, r0) & below32(cut, r1) & below32(cut, r2) & below32(cut, r3)) == kAllLanes)
                continue;
            ++misses;
            if (settle(c, q8exited(a, c, r0, cut, tests, start))) return c;
            if (settle(c + 1, q8exited(a, c + 1, r1, cut, tests, start))) return c + 1;
            if (settle(c + 2, q8exited(a, c + 2, r2, cut, tests, start))) return c + 2;
            if (settle(c + 3, q8exited(a, c + 3, r3, cut, tests, start))) return c + 3;
        }
        for (; c + 4 <= n_chunks; c += 4) {
            const std::uint8_t* codes = a.codes + c * stride;
            __m256i q0 = start, q1 = start, q2 = start, q3 = start;
            for (std::size_t k = a.k0; k < tested; ++k) {
                const __m256i ta = q8half(a.q8rows[k], 0), tb = q8half(a.q8rows[k], 1);
                const std::uint8_t* at = codes + k * kLanes;
                q0 = _mm256_adds_epi8(q0, q8lookup32(ta, tb, at));
                q1 = _mm256_adds_epi8(q1, q8lookup32(ta, tb, at + stride));
                q2 = _mm256_adds_epi8(q2, q8lookup32(ta, tb, at + 2 * stride));
                q3 = _mm256_adds_epi8(q3, q8lookup32(ta, tb, at + 3 * stride));
            }
            if (settle(c, ~valid_lanes(a, c) | (below32(cut, q0) & tests))) return c;
            if (settle(c + 1, ~valid_lanes(a, c + 1) | (below32(cut, q1) & tests))) return c + 1;
            if (settle(c + 2, ~valid_lanes(a, c + 2) | (below32(cut, q2) & tests))) return c + 2;
            if (settle(c + 3, ~valid_lanes(a, c + 3) | (below32(cut, q3) & tests))) return c + 3;
        }
    }
    for (; c < n_chunks; ++c) {
        const std::uint8_t* codes = a.codes + c * stride;
        __m256i q = start;
        std::uint32_t exited = ~valid_lanes(a, c);
        for (std::size_t k = a.k0; k < tested && exited != kAllLanes;) {
            const std::size_t stop = std::min(tested, k + kQStepsPerTest);
            for (; k < stop; ++k)
                q = _mm256_adds_epi8(
                    q, q8lookup32(q8half(a.q8rows[k], 0), q8half(a.q8rows[k], 1), codes + k * kLanes));
            exited |= below32(_mm256_set1_epi8(static_cast<char>(a.q8cut[k - 1])), q);
        }
        if (settle(c, exited)) return c;
    }
    return n_chunks;
}

// The fixed-point pre-filter on 256-bit registers: each chunk in two halves of sixteen lanes; for short
// anchors two chunks side by side share each row's shuffle tables and are tested once at the end.
KELVARA_AVX2 std::size_t scan_avx2(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    if (a.q8rows != nullptr) return scan_avx2_q8(a, first, out);
    if (a.qrows == nullptr) return scan_avx2_double(a, first, out);
    const std::size_t len = a.len, n_chunks = chunk_count(a.n_entries), stride = kLanes * len;
    const std::size_t tested = len - 1;
    const __m256i start = _mm256_set1_epi16(static_cast<short>(a.q0));
    auto planes = [&](std::size_t k) { return reinterpret_cast<const std::uint8_t*>(a.qrows[k] + 32); };
    auto settle = [&](std::size_t c, std::uint32_t exited) { return settle_lanes(a, c, exited, out); };
    std::size_t c = first;
    if (tested - std::min(tested, a.k0) <= kQStepsPerTest) {
        const __m256i cut = _mm256_set1_epi16(tested > a.k0 ? a.qcut[tested - 1] : 0);
        const std::uint32_t tests = tested > a.k0 ? kAllLanes : 0;
        for (; c + 2 <= n_chunks; c += 2) {
            const std::uint8_t* codes = a.codes + c * stride;
            __m256i q0 = start, q1 = start, q2 = start, q3 = start;
            for (std::size_t k = a.k0; k < tested; ++k) {
                const __m256i ta = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(planes(k)));
                const __m256i tb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(planes(k) + 32));
                const std::uint8_t* at = codes + k * kLanes;
                q0 = _mm256_add_epi16(q0, qlookup16(ta, tb, at));
                q1 = _mm256_add_epi16(q1, qlookup16(ta, tb, at + 16));
                q2 = _mm256_add_epi16(q2, qlookup16(ta, tb, at + stride));
                q3 = _mm256_add_epi16(q3, qlookup16(ta, tb, at + stride + 16));
            }
            if (settle(c, ~valid_lanes(a, c) | (below16(cut, q0, q1) & tests))) return c;
            if (settle(c + 1, ~valid_lanes(a, c + 1) | (below16(cut, q2, q3) & tests))) return c + 1;
        }
    }
    for (; c < n_chunks; ++c) {
        const std::uint8_t* codes = a.codes + c * stride;
        __m256i q0 = start, q1 = start;
        std::uint32_t exited = ~valid_lanes(a, c);
        for (std::size_t k = a.k0; k < tested && exited != kAllLanes;) {
            const std::size_t stop = std::min(tested, k + kQStepsPerTest);
            for (; k < stop; ++k) {
                const __m256i ta = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(planes(k)));
                const __m256i tb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(planes(k) + 32));
                q0 = _mm256_add_epi16(q0, qlookup16(ta, tb, codes + k * kLanes));
                q1 = _mm256_add_epi16(q1, qlookup16(ta, tb, codes + k * kLanes + 16));
            }
            exited |= below16(_mm256_set1_epi16(a.qcut[k - 1]), q0, q1);
        }
        if (settle(c, exited)) return c;
    }
    return n_chunks;
}

KELVARA_AVX2 std::uint32_t survivors_avx2(const double* row, double s, double min_needed, double bound_next) {
    const __m256d vs = _mm256_set1_pd(s), vb = _mm256_set1_pd(bound_next), vt = _mm256_set1_pd(min_needed);
    std::uint32_t pruned = 0;
    for (unsigned j = 0; j < 6; ++j) {
        const __m256d w = _mm256_add_pd(vb, _mm256_add_pd(vs, _mm256_loadu_pd(row + 4 * j)));
        pruned |= static_cast<std::uint32_t>(_mm256_movemask_pd(_mm256_cmp_pd(vt, w, _CMP_GT_OQ))) << (4 * j);
    }
    return ~pruned & ((1u << kCodes) - 1);
}

}  // namespace

const Kernels kAvx2Kernels{"avx2", scan_avx2, survivors_avx2};
const Kernels kAvx512Kernels{"avx512", scan_avx512, survivors_avx512};

}  // namespace kelvara::search

#endif
