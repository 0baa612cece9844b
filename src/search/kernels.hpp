#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvara::search {

// Entries are stored in chunks of kLanes, structure of arrays: the residue code of entry 8c + j at summing
// step k is codes[c * 8 * len + k * 8 + j], so one 8-byte load feeds all lanes at one step.
inline constexpr std::size_t kLanes = 8;

// A run of chunks to continue from summing step k0, every lane starting from the partial sum s0.
struct ScanArgs {
    const double* const* rows;  // per summing step, the probe's table row (kRowStride entries)
    const double* bound;        // suffix_bound
    double min_needed;
    std::size_t len;
    const std::uint8_t* codes;  // chunk 0 of the run
    std::size_t n_chunks;
    std::size_t k0;
    double s0;
};

// Lanes of one chunk whose early-exit test never fired, with their full sums.
struct LiveChunk {
    std::uint32_t live;
    alignas(64) double sums[kLanes];
};

// Every kernel adds the same table entries in the same order as anchor_sim and applies the same exit test
// to the same two doubles, so all of them give the same bits; they differ only in how many lanes run at once.
struct Kernels {
    const char* name;
    // From chunk `first` on, the first chunk with a live lane (written to *out), or n_chunks.
    std::size_t (*scan)(const ScanArgs& args, std::size_t first, LiveChunk* out);
    // Bit x set, for residue codes x < 21, when the exit test does not fire on s + row[x].
    std::uint32_t (*survivors)(const double* row, double s, double min_needed, double bound_next);
};

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
