#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvara::search {

// Entries are stored in chunks of kLanes, structure of arrays: the residue code of entry kLanes * c + j at
// summing step k is codes[c * kLanes * len + k * kLanes + j], so one load feeds every lane at one step.
inline constexpr std::size_t kLanes = 32;

// A run of entries to continue from summing step k0, every lane starting from the partial sum s0.
struct ScanArgs {
    const double* const* rows;  // per summing step, the probe's table row (kRowStride entries)
    const double* bound;        // suffix_bound
    double min_needed;
    // The fixed-point pre-filter, or nullptr: per step the probe's fixed-point row, and per step k below
    // len - 1 the cut under which a fixed-point partial sum proves that anchor_sim's exit test fires there.
    const std::int16_t* const* qrows;
    const std::int16_t* qcut;
    // The same in 8 bits (kQ8RowStride bytes a row), or nullptr: sums saturate, which only ever raises them.
    const std::int8_t* const* q8rows;
    const std::int8_t* q8cut;
    std::size_t len;
    const std::uint8_t* codes;  // chunk 0 of the run
    std::size_t n_entries;      // the lanes past it in the last chunk are padding
    std::size_t k0;
    double s0;
    std::int32_t q0;  // the fixed-point partial sum before step k0
    std::int32_t q80; // the same in 8 bits, unsaturated
};

// Lanes of one chunk whose early-exit test never fired, with their full sums.
struct LiveChunk {
    std::uint32_t live;
    alignas(64) double sums[kLanes];
};

// Every kernel gives the same bits as anchor_sim: the double sums add the same entries in the same order and
// apply the same exit test to the same two doubles; the fixed-point pre-filter only ever rules out lanes
// whose exit it proves, and lanes it cannot rule out are summed in double.
struct Kernels {
    const char* name;
    // From chunk `first` on, the first chunk with a live lane (written to *out), or the number of chunks.
    std::size_t (*scan)(const ScanArgs& args, std::size_t first, LiveChunk* out);
    // Bit x set, for residue codes x < 21, when the exit test does not fire on s + row[x].
    std::uint32_t (*survivors)(const double* row, double s, double min_needed, double bound_next);
};

inline std::size_t chunk_count(std::size_t n_entries) {
    return (n_entries + kLanes - 1) / kLanes;
}

// The lanes of `mask` in chunk c that do not exit, summed one by one in double exactly as anchor_sim sums.
std::uint32_t exact_lanes(const ScanArgs& a, std::size_t c, std::uint32_t mask, double* sums);

extern const Kernels kScalarKernels;
#if defined(__x86_64__)
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;
#endif

// The kernels in use: the best level this processor has, or the one KELVARA_SIMD asks for ("scalar",
// "avx2", "avx512"; a level the processor lacks falls back to the best it has). Chosen once, at import.
const Kernels& kernels();

// Switches to a level by name, with the same fallback, and returns the name of the level now in use.
// For tests, which run every level in one process.
const char* use_level(const char* name);

// The levels this processor can run, best last.
std::size_t available_levels(const Kernels** out, std::size_t capacity);

}  // namespace kelvara::search
