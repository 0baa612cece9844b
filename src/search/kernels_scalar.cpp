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

// Step by step over all lanes of a chunk: the same additions and tests as anchor_sim for every lane, with
// no branch per lane, stopping once every lane has exited.
std::size_t scan_scalar(const ScanArgs& a, std::size_t first, LiveChunk* out) {
    const std::size_t len = a.len, n_chunks = chunk_count(a.n_entries);
    for (std::size_t c = first; c < n_chunks; ++c) {
        const std::uint8_t* codes = a.codes + c * kLanes * len;
        double* s = out->sums;
        std::uint32_t exited = ~valid_lanes(a, c);
        for (std::size_t j = 0; j < kLanes; ++j) s[j] = a.s0;
        for (std::size_t k = a.k0; k < len; ++k) {
            const double* row = a.rows[k];
            const std::uint8_t* step = codes + k * kLanes;
            for (std::size_t j = 0; j < kLanes; ++j) s[j] = s[j] + row[step[j]];
            if (k + 1 < len) {
                const double bound = a.bound[k + 1];
                std::uint32_t fired = 0;
                for (std::size_t j = 0; j < kLanes; ++j)
                    fired |= static_cast<std::uint32_t>(a.min_needed > bound + s[j]) << j;
                exited |= fired;
                if (exited == 0xFFFFFFFFu) break;
            }
        }
        if (exited != 0xFFFFFFFFu) {
            out->live = ~exited;
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
