// The x86 kernels. Each function carries its own target attribute instead of the file carrying -m flags:
// the package is built for any x86-64, and nothing compiled here may end up on a path the processor
// cannot run (inline functions shared with other files would, under per-file flags).
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#include "anchors/sim_tables.hpp"
#include "search/kernels.hpp"

// GCC 12 mistakes the deliberately undefined operands inside some intrinsics for uninitialised values.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define KELVARA_AVX2 __attribute__((target("avx2")))
#define KELVARA_AVX512 __attribute__((target("avx512f")))

namespace kelvara::search {

namespace {

// Every lane of both chunks has exited: stop adding. Tested every second step, which keeps the loop
// mostly free of branches while long anchors still stop early.
constexpr std::size_t kCheckEvery = 2;

KELVARA_AVX512 inline __m512d lookup8(__m512d r0, __m512d r1, __m512d r2, const std::uint8_t* codes) {
    const __m512i idx = _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes)));
    const __m512d lo = _mm512_permutex2var_pd(r0, idx, r1);
    const __m512d hi = _mm512_permutexvar_pd(idx, r2);
    return _mm512_mask_blend_pd(_mm512_test_epi64_mask(idx, _mm512_set1_epi64(16)), lo, hi);
}

// Two chunks side by side: two independent chains of additions in flight.
KELVARA_AVX512 std::size_t scan_avx512(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    const std::size_t len = a.len, stride = kLanes * len;
    const __m512d thr = _mm512_set1_pd(a.min_needed);
    const __m512d start = _mm512_set1_pd(a.s0);
    for (std::size_t c = first; c < a.n_chunks; c += 2) {
        const bool two = c + 1 < a.n_chunks;
        const std::uint8_t* p0 = a.codes + c * stride;
        const std::uint8_t* p1 = two ? p0 + stride : p0;
        __m512d s0 = start, s1 = start;
        __mmask8 e0 = 0, e1 = 0;
        for (std::size_t k = a.k0; k < len; ++k) {
            const double* row = a.rows[k];
            const __m512d r0 = _mm512_loadu_pd(row), r1 = _mm512_loadu_pd(row + 8), r2 = _mm512_loadu_pd(row + 16);
            s0 = _mm512_add_pd(s0, lookup8(r0, r1, r2, p0 + k * kLanes));
            s1 = _mm512_add_pd(s1, lookup8(r0, r1, r2, p1 + k * kLanes));
            if (k + 1 < len) {
                const __m512d b = _mm512_set1_pd(a.bound[k + 1]);
                e0 = static_cast<__mmask8>(e0 | _mm512_cmp_pd_mask(thr, _mm512_add_pd(b, s0), _CMP_GT_OQ));
                e1 = static_cast<__mmask8>(e1 | _mm512_cmp_pd_mask(thr, _mm512_add_pd(b, s1), _CMP_GT_OQ));
                if ((k - a.k0) % kCheckEvery == kCheckEvery - 1 && (e0 & e1) == 0xFF) break;
            }
        }
        const std::uint32_t live0 = static_cast<std::uint8_t>(~e0);
        const std::uint32_t live1 = two ? static_cast<std::uint8_t>(~e1) : 0u;
        if (live0 != 0) {
            out->live = live0;
            _mm512_store_pd(out->sums, s0);
            return c;
        }
        if (live1 != 0) {
            out->live = live1;
            _mm512_store_pd(out->sums, s1);
            return c + 1;
        }
    }
    return a.n_chunks;
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

KELVARA_AVX2 inline unsigned exits4(__m256d thr, __m256d b, __m256d s) {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(thr, _mm256_add_pd(b, s), _CMP_GT_OQ)));
}

// A chunk is two halves of four lanes; two chunks side by side keep four gathers in flight.
KELVARA_AVX2 std::size_t scan_avx2(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    const std::size_t len = a.len, stride = kLanes * len;
    const __m256d thr = _mm256_set1_pd(a.min_needed);
    const __m256d start = _mm256_set1_pd(a.s0);
    for (std::size_t c = first; c < a.n_chunks; c += 2) {
        const bool two = c + 1 < a.n_chunks;
        const std::uint8_t* p0 = a.codes + c * stride;
        const std::uint8_t* p1 = two ? p0 + stride : p0;
        __m256d s0 = start, s0h = start, s1 = start, s1h = start;
        unsigned e0 = 0, e1 = 0;
        for (std::size_t k = a.k0; k < len; ++k) {
            const double* row = a.rows[k];
            const std::uint8_t* q0 = p0 + k * kLanes;
            const std::uint8_t* q1 = p1 + k * kLanes;
            s0 = _mm256_add_pd(s0, lookup4(row, q0));
            s0h = _mm256_add_pd(s0h, lookup4(row, q0 + 4));
            s1 = _mm256_add_pd(s1, lookup4(row, q1));
            s1h = _mm256_add_pd(s1h, lookup4(row, q1 + 4));
            if (k + 1 < len) {
                const __m256d b = _mm256_set1_pd(a.bound[k + 1]);
                e0 |= exits4(thr, b, s0) | exits4(thr, b, s0h) << 4;
                e1 |= exits4(thr, b, s1) | exits4(thr, b, s1h) << 4;
                if ((k - a.k0) % kCheckEvery == kCheckEvery - 1 && (e0 & e1) == 0xFF) break;
            }
        }
        const std::uint32_t live0 = ~e0 & 0xFFu;
        const std::uint32_t live1 = two ? ~e1 & 0xFFu : 0u;
        if (live0 != 0) {
            out->live = live0;
            _mm256_store_pd(out->sums, s0);
            _mm256_store_pd(out->sums + 4, s0h);
            return c;
        }
        if (live1 != 0) {
            out->live = live1;
            _mm256_store_pd(out->sums, s1);
            _mm256_store_pd(out->sums + 4, s1h);
            return c + 1;
        }
    }
    return a.n_chunks;
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
