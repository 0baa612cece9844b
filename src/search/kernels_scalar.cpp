#include "anchors/sim_tables.hpp"
#include "search/kernels.hpp"

namespace kelvara::search {

namespace {

// One lane at a time, exactly as anchor_sim adds and exits.
std::size_t scan_scalar(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    const std::size_t len = a.len, stride = kLanes * len;
    for (std::size_t c = first; c < a.n_chunks; ++c) {
        const std::uint8_t* codes = a.codes + c * stride;
        std::uint32_t live = 0;
        for (std::size_t j = 0; j < kLanes; ++j) {
            double s = a.s0;
            std::size_t k = a.k0;
            for (; k < len; ++k) {
                s = s + a.rows[k][codes[k * kLanes + j]];
                if (k + 1 < len && a.min_needed > a.bound[k + 1] + s) break;
            }
            if (k == len) {
                live |= 1u << j;
                out->sums[j] = s;
            }
        }
        if (live != 0) {
            out->live = live;
            return c;
        }
    }
    return a.n_chunks;
}

std::uint32_t survivors_scalar(const double* row, double s, double min_needed, double bound_next) {
    std::uint32_t alive = 0;
    for (std::size_t x = 0; x < kCodes; ++x) alive |= static_cast<std::uint32_t>(!(min_needed > bound_next + (s + row[x]))) << x;
    return alive;
}

}  // namespace

const Kernels kScalarKernels{"scalar", scan_scalar, survivors_scalar};

}  // namespace kelvara::search
