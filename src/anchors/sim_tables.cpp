#include "anchors/sim_tables.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace kelvara {

namespace {

// BLOSUM62 in alphabet order.
constexpr std::int8_t kBlosum62[20][20] = {
    {4, -1, -2, -2, 0, -1, -1, 0, -2, -1, -1, -1, -1, -2, -1, 1, 0, -3, -2, 0},
    {-1, 5, 0, -2, -3, 1, 0, -2, 0, -3, -2, 2, -1, -3, -2, -1, -1, -3, -2, -3},
    {-2, 0, 6, 1, -3, 0, 0, 0, 1, -3, -3, 0, -2, -3, -2, 1, 0, -4, -2, -3},
    {-2, -2, 1, 6, -3, 0, 2, -1, -1, -3, -4, -1, -3, -3, -1, 0, -1, -4, -3, -3},
    {0, -3, -3, -3, 9, -3, -4, -3, -3, -1, -1, -3, -1, -2, -3, -1, -1, -2, -2, -1},
    {-1, 1, 0, 0, -3, 5, 2, -2, 0, -3, -2, 1, 0, -3, -1, 0, -1, -2, -1, -2},
    {-1, 0, 0, 2, -4, 2, 5, -2, 0, -3, -3, 1, -2, -3, -1, 0, -1, -3, -2, -2},
    {0, -2, 0, -1, -3, -2, -2, 6, -2, -4, -4, -2, -3, -3, -2, 0, -2, -2, -3, -3},
    {-2, 0, 1, -1, -3, 0, 0, -2, 8, -3, -3, -1, -2, -1, -2, -1, -2, -2, 2, -3},
    {-1, -3, -3, -3, -1, -3, -3, -4, -3, 4, 2, -3, 1, 0, -3, -2, -1, -3, -1, 3},
    {-1, -2, -3, -4, -1, -2, -3, -4, -3, 2, 4, -2, 2, 0, -3, -2, -1, -2, -1, 1},
    {-1, 2, 0, -1, -3, 1, 1, -2, -1, -3, -2, 5, -1, -3, -1, 0, -1, -3, -2, -2},
    {-1, -1, -2, -3, -1, 0, -2, -3, -2, 1, 2, -1, 5, 0, -2, -1, -1, -1, -1, 1},
    {-2, -3, -3, -3, -2, -3, -3, -3, -1, 0, 0, -3, 0, 6, -4, -2, -2, 1, 3, -1},
    {-1, -2, -2, -1, -3, -1, -1, -2, -2, -3, -3, -1, -2, -4, 7, -1, -1, -4, -3, -2},
    {1, -1, 1, 0, -1, 0, 0, 0, -1, -2, -2, 0, -1, -2, -1, 4, 1, -3, -2, -2},
    {0, -1, 0, -1, -1, -1, -1, -2, -2, -1, -1, -1, -1, -2, -1, 1, 5, -2, -2, 0},
    {-3, -3, -4, -4, -2, -2, -3, -2, -2, -3, -2, -3, -1, 1, -4, -3, -2, 11, 2, -3},
    {-2, -2, -2, -3, -2, -1, -2, -3, 2, -1, -1, -2, -1, 3, -3, -2, -2, 2, 7, -1},
    {0, -3, -3, -3, -1, -2, -2, -3, -3, 3, 1, -2, 1, -1, -2, -2, 0, -3, -1, 4},
};

constexpr std::string_view kGroups[10] = {"AST", "VILM", "FYW", "DE", "KR", "NQ", "G", "H", "C", "P"};

using Normalised = std::array<std::array<double, 20>, 20>;

Normalised normalised_scores() {
    Normalised n{};
    for (int x = 0; x < 20; ++x) {
        for (int y = 0; y < 20; ++y) {
            const double self = static_cast<double>(kBlosum62[x][x]) * static_cast<double>(kBlosum62[y][y]);
            n[x][y] = static_cast<double>(kBlosum62[x][y]) / std::sqrt(self);
        }
    }
    return n;
}

int residue_index(char ch) {
    return static_cast<int>(std::string_view(kAlphabet).find(ch));
}

// No rounded-up entry exceeds q8scale * |scale| + 1, so with q8scale = (126 - anchor_len) / sum no sum of
// entries, however many of a row's entries it takes, goes past 126. Entries are rounded up from products
// that are not exact, an error far inside the margin the cuts keep (see Probe).
void add_8bit_tables(SimTables& t, double sum) {
    if (t.anchor_len > 64) return;
    const double q8scale = (126.0 - static_cast<double>(t.anchor_len)) / sum;
    if (!(q8scale >= 32.0)) return;
    const std::size_t n_tables = t.code_tables.size() / kCodeTableSize;
    std::vector<std::int8_t> tables(n_tables * kQ8TableSize, 0);
    for (std::size_t k = 0; k < n_tables; ++k) {
        for (std::size_t x = 0; x < kCodes; ++x) {
            std::int8_t* row = tables.data() + k * kQ8TableSize + x * kQ8RowStride;
            for (std::size_t y = 0; y < kCodes; ++y) {
                const double q = std::ceil(t.code_tables[k * kCodeTableSize + x * kRowStride + y] * q8scale);
                if (!(q >= -128.0 && q <= 127.0)) return;
                const auto v = static_cast<std::int8_t>(q);
                const std::size_t at = (y / 16) * 32 + y % 16;
                row[at] = v;
                row[at + 16] = v;
            }
            for (std::size_t c = 0; c < kClasses; ++c) {
                const std::int8_t v = c + 16 < kCodes ? std::max(row[c], row[32 + c]) : row[c];
                row[64 + c] = v;
                row[64 + 16 + c] = v;
            }
        }
    }
    // The largest sum of one entry per position, whatever the order.
    double most = 0.0;
    for (std::size_t p = 0; p < t.anchor_len; ++p) {
        const std::int8_t* table = tables.data() + t.table_at[p] / kCodeTableSize * kQ8TableSize;
        int m = 0;
        for (std::size_t i = 0; i < kQ8TableSize; ++i) m = std::max<int>(m, table[i]);
        most += m;
    }
    if (most > 127.0) return;
    t.q8tables = std::move(tables);
    t.q8scale = q8scale;
}

// Every |entry| is at most |scale| (no normalised score exceeds 1 in magnitude), so no partial sum of
// rounded-up entries exceeds qscale * abs_scale_sum + anchor_len in magnitude; qscale is the largest power
// of two that keeps that within 16 bits. Too little precision left, or values that are not finite, and
// there are no fixed-point tables.
void add_fixed_point_tables(SimTables& t) {
    double sum = 0.0;
    for (double s : t.scale) sum += std::fabs(s);
    t.abs_scale_sum = sum;
    bool negative = false;
    for (double s : t.scale) negative = negative || !(s >= 0.0);
    t.bound_slack = negative ? std::numeric_limits<double>::quiet_NaN()
                             : static_cast<double>(t.anchor_len + 16) * 0x1p-50 * (1.0 + sum);
    if (!std::isfinite(sum) || sum <= 0.0 || t.anchor_len > 4096) return;
    double qscale = 1.0;
    while (qscale * 2.0 * sum + static_cast<double>(t.anchor_len) + 2.0 <= 32767.0) qscale *= 2.0;
    if (qscale < 512.0) return;
    const std::size_t n_tables = t.code_tables.size() / kCodeTableSize;
    t.qtables.assign(n_tables * kQTableSize, 0);
    for (std::size_t k = 0; k < n_tables; ++k) {
        for (std::size_t x = 0; x < kCodes; ++x) {
            std::int16_t* row = t.qtables.data() + k * kQTableSize + x * kQRowStride;
            for (std::size_t y = 0; y < kCodes; ++y)
                row[y] = static_cast<std::int16_t>(
                    std::ceil(t.code_tables[k * kCodeTableSize + x * kRowStride + y] * qscale));
            auto* planes = reinterpret_cast<std::uint8_t*>(row + 32);
            for (std::size_t y = 0; y < 32; ++y) {
                const auto v = static_cast<std::uint16_t>(row[y]);
                planes[(y / 16) * 32 + y % 16] = static_cast<std::uint8_t>(v & 0xFF);
                planes[(y / 16) * 32 + 16 + y % 16] = static_cast<std::uint8_t>(v >> 8);
            }
        }
    }
    t.qscale = qscale;
    add_8bit_tables(t, sum);
}

}  // namespace

SimTables make_sim_tables(std::size_t anchor_len, const std::vector<std::size_t>& positions, double anchor_weight) {
    const Normalised n = normalised_scores();
    const std::size_t len = anchor_len;

    std::vector<double> weight(len, 1.0);
    for (std::size_t p : positions) weight[p] = anchor_weight;
    double total_weight = -0.0;
    for (double w : weight) total_weight = total_weight + w;

    SimTables t;
    t.anchor_len = len;
    t.positions = positions;
    t.order.resize(len);
    for (std::size_t p = 0; p < len; ++p) t.order[p] = p;
    // `!(a < b) && !(b < a)` must stay an equivalence even for a NaN weight, so compare through a key in
    // which NaN sorts last instead of using a raw double comparison.
    auto heavier = [&](std::size_t a, std::size_t b) {
        const double wa = weight[a], wb = weight[b];
        if (std::isnan(wa) || std::isnan(wb)) return !std::isnan(wa) && std::isnan(wb);
        return wa > wb;
    };
    std::stable_sort(t.order.begin(), t.order.end(), heavier);

    std::array<std::uint8_t, 20> code{};  // by alphabet index
    for (std::size_t x = 0; x < 20; ++x)
        code[x] = static_cast<std::uint8_t>(std::string_view(kCodeLetters).find(kAlphabet[x]));

    t.table_at.resize(len);
    std::vector<double> table_scale;  // the scale of each distinct table, compared bit for bit
    for (std::size_t p = 0; p < len; ++p) {
        const double s = weight[p] / total_weight;
        std::size_t k = 0;
        while (k < table_scale.size() && std::memcmp(&table_scale[k], &s, sizeof s) != 0) ++k;
        if (k == table_scale.size()) {
            table_scale.push_back(s);
            t.code_tables.resize(t.code_tables.size() + kCodeTableSize, 0.0);
            double* table = t.code_tables.data() + k * kCodeTableSize;
            for (std::size_t x = 0; x < 20; ++x)
                for (std::size_t y = 0; y < 20; ++y) table[code[x] * kRowStride + code[y]] = n[x][y] * s;
        }
        t.table_at[p] = k * kCodeTableSize;
    }

    t.suffix_bound.assign(len + 1, 0.0);
    for (std::size_t k = len; k-- > 0;) t.suffix_bound[k] = (weight[t.order[k]] / total_weight) + t.suffix_bound[k + 1];

    t.residue_code.fill(kOther);
    for (std::uint8_t x = 0; x < 20; ++x) t.residue_code[static_cast<unsigned char>(kAlphabet[x])] = code[x];
    t.residue_group.fill(kNoGroup);
    for (std::uint8_t g = 0; g < 10; ++g)
        for (char ch : kGroups[g]) t.residue_group[static_cast<unsigned char>(ch)] = g;

    for (int g = 0; g < 10; ++g) {
        for (int h = 0; h < 10; ++h) {
            double best = -std::numeric_limits<double>::infinity();
            for (char x : kGroups[g])
                for (char y : kGroups[h]) best = std::max(best, n[residue_index(x)][residue_index(y)]);
            t.group_max[g][h] = best;
        }
    }

    t.scale.resize(len);
    for (std::size_t p = 0; p < len; ++p) t.scale[p] = weight[p] / total_weight;
    add_fixed_point_tables(t);
    t.anchor_share = -0.0;
    for (std::size_t p : positions) t.anchor_share = t.anchor_share + t.scale[p];
    return t;
}

double block_upper_bound(const SimTables& t, std::uint64_t own, std::uint64_t other) {
    const std::size_t k = t.positions.size();
    double u = 1.0 - t.anchor_share;
    for (std::size_t j = 0; j < k; ++j) {
        const unsigned shift = static_cast<unsigned>(8 * (k - 1 - j));
        const std::uint8_t g = static_cast<std::uint8_t>(own >> shift);
        const std::uint8_t h = static_cast<std::uint8_t>(other >> shift);
        const double f = (g == kNoGroup || h == kNoGroup) ? 1.0 : t.group_max[g][h];
        u = u + f * t.scale[t.positions[j]];
    }
    return u;
}

}  // namespace kelvara
