#include "anchors/sim_tables.hpp"
#include "search/kernels.hpp"

namespace kelvara::search {

std::uint32_t exact_lanes(const ScanArgs& a, std::size_t c, std::uint32_t mask, double* sums) {
    const std::size_t len = a.len;
    const std::uint8_t* codes = a.codes + c * kLanes * len;
    std::uint32_t live = 0;
    for (; mask != 0; mask &= mask - 1) {
        const unsigned j = static_cast<unsigned>(__builtin_ctz(mask));
        double s = a.s0;
        std::size_t k = a.k0;
        for (; k < len; ++k) {
            s = s + a.rows[k][codes[k * kLanes + j]];
            if (k + 1 < len && a.min_needed > a.bound[k + 1] + s) break;
        }
        if (k == len) {
            live |= 1u << j;
            sums[j] = s;
        }
    }
    return live;
}

namespace {

std::uint32_t valid_lanes(const ScanArgs& a, std::size_t c) {
    const std::size_t left = a.n_entries - c * kLanes;
    return left >= kLanes ? 0xFFFFFFFFu : (1u << left) - 1;
}

// One lane at a time, exactly as anchor_sim adds and exits.
std::size_t scan_scalar(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    const std::size_t n_chunks = chunk_count(a.n_entries);
    for (std::size_t c = first; c < n_chunks; ++c) {
        const std::uint32_t live = exact_lanes(a, c, valid_lanes(a, c), out->sums);
        if (live != 0) {
            out->live = live;
            return c;
        }
    }
    return n_chunks;
}

std::uint32_t survivors_scalar(const double* row, double s, double min_needed, double bound_next) {
    std::uint32_t alive = 0;
    for (std::size_t x = 0; x < kCodes; ++x)
        alive |= static_cast<std::uint32_t>(!(min_needed > bound_next + (s + row[x]))) << x;
    return alive;
}

}  // namespace

const Kernels kScalarKernels{"scalar", scan_scalar, survivors_scalar};

}  // namespace kelvara::search
