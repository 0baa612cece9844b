#include "table/peptide_table.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "anchors/errors.hpp"
#include "anchors/radix_sort.hpp"

namespace kelvara {

namespace {

// Eight bytes at a time, multiplied and folded: peptides are short, and the hash only has to spread them.
std::uint64_t hash_text(std::string_view s) {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = s.size() * kMul;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        const CountSum m = static_cast<CountSum>(h ^ w) * kMul;
        h = static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
    }
    if (i < s.size()) {
        std::uint64_t w = 0;
        std::memcpy(&w, s.data() + i, s.size() - i);
        const CountSum m = static_cast<CountSum>(h ^ w ^ 0xFF) * kMul;
        h = static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
    }
    return h;
}

}  // namespace

void PeptideTable::reserve(std::size_t n) {
    std::size_t capacity = std::max<std::size_t>(slots_.size(), 1024);
    while (capacity < 2 * n) capacity *= 2;
    if (capacity > slots_.size()) grow(capacity);
    start_.reserve(n + 1);
    counts_.reserve(n);
    hashes_.reserve(n);
}

void PeptideTable::grow(std::size_t capacity) {
    if (capacity == 0) capacity = slots_.empty() ? 1024 : slots_.size() * 2;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < size(); ++i) {
        std::size_t at = hashes_[i] & mask_;
        while (slots_[at] != 0) at = (at + 1) & mask_;
        slots_[at] = slot_of(hashes_[i], i);
    }
}

std::uint64_t PeptideTable::hash_of(std::string_view peptide) {
    return hash_text(peptide);
}

std::uint32_t PeptideTable::intern(std::string_view text, std::uint64_t h) {
    if (2 * (size() + 1) > slots_.size()) grow();
    const std::uint64_t tag = h & kTagBits;
    std::size_t at = h & mask_;
    for (; slots_[at] != 0; at = (at + 1) & mask_) {
        // The slot's own hash bits settle most collisions without a look at the peptide.
        if ((slots_[at] & kTagBits) != tag) continue;
        const auto i = static_cast<std::uint32_t>((slots_[at] & ~kTagBits) - 1);
        if (hashes_[i] == h && peptide(i) == text) return i;
    }
    if (size() >= 0xFFFFFFF0u) throw InputError("more than 4,294,967,280 unique peptides");
    const auto i = static_cast<std::uint32_t>(size());
    slots_[at] = slot_of(h, i);
    text_.append(text);
    start_.push_back(text_.size());
    counts_.push_back(0);
    hashes_.push_back(h);
    return i;
}

bool PeptideTable::add_wide(std::uint32_t i, std::uint64_t count) {
    const auto it = overflowed_.find(i);
    if (it == overflowed_.end()) return false;
    it->second += count;
    return true;
}

void PeptideTable::overflow(std::uint32_t i, std::uint64_t wrapped) {
    overflowed_[i] = static_cast<CountSum>(wrapped) + (static_cast<CountSum>(1) << 64);
    counts_[i] = UINT64_MAX;
}

std::size_t PeptideTable::largest_overflow() const {
    std::size_t best = SIZE_MAX;
    CountSum top = 0;
    for (const auto& [i, sum] : overflowed_)
        if (sum > top || (sum == top && i < best)) best = i, top = sum;
    return best;
}

void PeptideTable::add_record(std::uint32_t peptide, std::string_view name) {
    records_.push_back({peptide, names_.size(), static_cast<std::uint32_t>(name.size())});
    names_.append(name);
}

std::uint32_t PeptideTable::sample_id(std::string_view name) {
    const auto [it, added] = sample_ids_.try_emplace(std::string(name), static_cast<std::uint32_t>(sample_names_.size()));
    if (added) {
        if (sample_names_.size() >= kNoSample - 1) throw InputError("more than 4,294,967,294 samples");
        sample_names_.emplace_back(name);
    }
    return it->second;
}

void PeptideTable::compact_samples() {
    if (pending_samples_.empty()) return;
    // The summed pairs so far and the new records, sorted together by (peptide, sample), equal pairs added.
    // Keys take only the bits their numbers need, so that the radix sort makes as few passes as it can.
    const unsigned sample_bits = static_cast<unsigned>(std::max<std::size_t>(1, std::bit_width(sample_names_.size())));
    auto key_of = [&](std::uint32_t peptide, std::uint32_t sample) {
        return std::uint64_t{peptide} << sample_bits | sample;
    };
    std::vector<std::pair<std::uint64_t, std::size_t>> keyed;
    keyed.reserve(sample_counts_.size() + pending_samples_.size());
    for (std::size_t k = 0; k < sample_counts_.size(); ++k)
        keyed.emplace_back(key_of(sample_counts_[k].peptide, sample_counts_[k].sample), k);
    for (std::size_t k = 0; k < pending_samples_.size(); ++k)
        keyed.emplace_back(key_of(pending_samples_[k].peptide, pending_samples_[k].sample), sample_counts_.size() + k);
    radix_sort(keyed, static_cast<unsigned>(std::bit_width(size())) + sample_bits);
    std::vector<SampleCount> merged;
    merged.reserve(keyed.size());
    for (const auto& [key, k] : keyed) {
        const CountSum count =
            k < sample_counts_.size() ? sample_counts_[k].count : pending_samples_[k - sample_counts_.size()].count;
        if (!merged.empty() && key_of(merged.back().peptide, merged.back().sample) == key) {
            merged.back().count += count;
        } else {
            merged.push_back({static_cast<std::uint32_t>(key >> sample_bits),
                              static_cast<std::uint32_t>(key & ((std::uint64_t{1} << sample_bits) - 1)), count});
        }
    }
    sample_counts_.swap(merged);
    pending_samples_.clear();
    compact_at_ = std::max(compact_at_, 2 * sample_counts_.size());
}

std::vector<std::pair<std::size_t, std::size_t>> PeptideTable::lengths() const {
    // Peptides are short: their lengths are counted in an array, the rare long ones in a map.
    constexpr std::size_t kShort = 256;
    std::vector<std::size_t> short_lengths(kShort, 0);
    std::unordered_map<std::size_t, std::size_t> long_lengths;
    for (std::size_t i = 0; i < inputs(); ++i) {
        const std::size_t len = length(i);
        if (len < kShort) ++short_lengths[len];
        else ++long_lengths[len];
    }
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (std::size_t len = 0; len < kShort; ++len)
        if (short_lengths[len] != 0) out.emplace_back(len, short_lengths[len]);
    out.insert(out.end(), long_lengths.begin(), long_lengths.end());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::uint32_t> PeptideTable::of_length(std::size_t len) const {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < inputs(); ++i)
        if (length(i) == len) out.push_back(static_cast<std::uint32_t>(i));
    return out;
}

AnchorTable PeptideTable::anchor_table(const std::vector<std::uint32_t>& members, bool with_text) const {
    AnchorTable table;
    if (members.empty()) return table;
    const std::size_t len = length(members.front());
    table.anchor_len = len;
    table.residues.resize(members.size() * len);
    table.counts.resize(members.size());
    if (with_text) table.anchors.reserve(members.size());
    for (std::size_t k = 0; k < members.size(); ++k) {
        const std::string_view p = peptide(members[k]);
        // Read peptides are ASCII letters, but a table from elsewhere may hold any byte.
        std::transform(p.begin(), p.end(), table.residues.begin() + k * len, [](char ch) {
            const auto byte = static_cast<unsigned char>(ch);
            return static_cast<std::uint8_t>(byte < 128 ? byte : 0);
        });
        table.counts[k] = counts_[members[k]];
        if (with_text) table.anchors.emplace_back(p);
    }
    return table;
}

}  // namespace kelvara
