#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "anchors/anchor_table.hpp"

namespace kelvara {

// The unique peptides of a run in order of first appearance, with their counts added up. Peptides are
// held end to end in one buffer; a hash table of indices finds them again. The hash never decides an
// order: every order comes from the indices.
class PeptideTable {
public:
    PeptideTable() = default;
    PeptideTable(const PeptideTable&) = delete;
    PeptideTable& operator=(const PeptideTable&) = delete;
    PeptideTable(PeptideTable&&) = default;
    PeptideTable& operator=(PeptideTable&&) = default;

    // Room for `n` peptides in all, so that a table of known size is not rehashed as it grows.
    void reserve(std::size_t n);
    // The index of `peptide`, added with a count of 0 when it is new.
    std::uint32_t intern(std::string_view peptide) { return intern(peptide, hash_of(peptide)); }
    // The same with the peptide's hash_of known.
    std::uint32_t intern(std::string_view peptide, std::uint64_t hash);
    static std::uint64_t hash_of(std::string_view peptide);
    // Asks for the slot where a peptide of this hash_of is looked up first.
    void prefetch_slot(std::uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(slots_.data() + (hash & mask_));
    }
    // Adds to a peptide's count; a sum past 2**64 - 1 is kept aside in full (see largest_overflow).
    void add(std::uint32_t i, std::uint64_t count) {
        if (!overflowed_.empty() && add_wide(i, count)) return;
        std::uint64_t& c = counts_[i];
        if (__builtin_add_overflow(c, count, &c)) overflow(i, c);
    }

    std::size_t size() const { return counts_.size(); }
    std::string_view peptide(std::size_t i) const {
        return {text_.data() + start_[i], static_cast<std::size_t>(start_[i + 1] - start_[i])};
    }
    std::size_t length(std::size_t i) const { return static_cast<std::size_t>(start_[i + 1] - start_[i]); }
    std::uint64_t count(std::size_t i) const { return counts_[i]; }
    // Asks for peptide i's offsets and count, then (once those have arrived) its text: walks in an order
    // other than the table's are bound by memory latency otherwise.
    void prefetch(std::size_t i) const {
        __builtin_prefetch(start_.data() + i);
        __builtin_prefetch(counts_.data() + i);
    }
    void prefetch_text(std::size_t i) const { __builtin_prefetch(text_.data() + start_[i]); }
    const std::vector<std::uint64_t>& counts() const { return counts_; }

    // The peptide whose summed count is the largest of those past 2**64 - 1 (the first such in table
    // order), or SIZE_MAX when no sum has passed it.
    std::size_t largest_overflow() const;

    // FASTA records in input order: the peptide each holds and its name, the header's first word.
    struct Record {
        std::uint32_t peptide;
        std::uint64_t name_start;
        std::uint32_t name_len;
    };
    void add_record(std::uint32_t peptide, std::string_view name);
    const std::vector<Record>& records() const { return records_; }
    std::string_view record_name(const Record& r) const { return {names_.data() + r.name_start, r.name_len}; }

    // Samples, numbered in order of first appearance, and every peptide's count in each. Counts are kept
    // per record and added up now and then, so that a run without samples pays nothing.
    static constexpr std::uint32_t kNoSample = 0xFFFFFFFFu;
    std::uint32_t sample_id(std::string_view name);
    const std::vector<std::string>& sample_names() const { return sample_names_; }
    bool has_samples() const { return !sample_names_.empty(); }
    void add_to_sample(std::uint32_t peptide, std::uint32_t sample, std::uint64_t count) {
        pending_samples_.push_back({peptide, sample, count});
        if (pending_samples_.size() >= compact_at_) compact_samples();
    }
    struct SampleCount {
        std::uint32_t peptide;
        std::uint32_t sample;
        CountSum count;
    };
    // Every (peptide, sample) with its summed count, ascending by peptide, then sample.
    const std::vector<SampleCount>& sample_counts() {
        compact_samples();
        return sample_counts_;
    }

    // Peptides interned after this call (a reference's centroids) are no input: lengths() and of_length()
    // leave them out.
    void end_inputs() {
        if (inputs_ == SIZE_MAX) inputs_ = size();
    }
    std::size_t inputs() const { return std::min(inputs_, size()); }

    // The distinct lengths of the inputs' peptides, ascending, with how many peptides have each.
    std::vector<std::pair<std::size_t, std::size_t>> lengths() const;
    // The inputs' peptides of one length, in table order.
    std::vector<std::uint32_t> of_length(std::size_t len) const;
    // The anchor table of the given peptides (all of one length), in that order: residues and counts, and
    // the texts too when `with_text` (refinement orders by them).
    AnchorTable anchor_table(const std::vector<std::uint32_t>& members, bool with_text) const;

private:
    bool add_wide(std::uint32_t i, std::uint64_t count);
    void compact_samples();
    void overflow(std::uint32_t i, std::uint64_t wrapped);
    void grow(std::size_t capacity = 0);

    std::string text_;
    std::vector<std::uint64_t> start_{0};  // size() + 1 offsets into text_
    std::vector<std::uint64_t> counts_;
    // A slot: the hash's high 32 bits over index + 1, or 0 when empty.
    static constexpr std::uint64_t kTagBits = 0xFFFFFFFF00000000ull;
    static std::uint64_t slot_of(std::uint64_t hash, std::size_t i) { return (hash & kTagBits) | (i + 1); }
    std::vector<std::uint64_t> slots_;
    std::vector<std::uint64_t> hashes_;    // per index, its hash: skips most text compares, and growing rehashes none
    std::size_t mask_ = 0;
    std::size_t inputs_ = SIZE_MAX;
    std::unordered_map<std::uint32_t, CountSum> overflowed_;  // full sums of those past 2**64 - 1
    std::vector<Record> records_;
    std::string names_;
    struct PendingSample {
        std::uint32_t peptide;
        std::uint32_t sample;
        std::uint64_t count;
    };
    std::vector<std::string> sample_names_;
    std::unordered_map<std::string, std::uint32_t> sample_ids_;
    std::vector<PendingSample> pending_samples_;
    std::vector<SampleCount> sample_counts_;
    std::size_t compact_at_ = std::size_t{1} << 20;
};

}  // namespace kelvara
