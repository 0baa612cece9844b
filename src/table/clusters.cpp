#include "table/clusters.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace kelvara {

namespace {

// The first eight bytes of a text as a big-endian number, zero-padded: comparing two of them compares the
// texts' starts, so most ties are settled without touching the texts.
std::uint64_t prefix_of(std::string_view text) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) v = (v << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
    return v;
}

bool text_less(const PeptideTable& table, std::uint64_t prefix_x, std::uint32_t x, std::uint64_t prefix_y,
               std::uint32_t y) {
    if (prefix_x != prefix_y) return prefix_x < prefix_y;
    return table.peptide(x) < table.peptide(y);
}

// Largest first: members, then summed count, descending; then length and text ascending.
struct Key {
    std::uint64_t reference;  // the reference number, or kNotReference
    std::uint32_t members;
    std::uint32_t length;
    CountSum total;
    std::uint64_t prefix;
    std::uint32_t centroid;
    std::uint32_t first;
};

void sort_keys(const PeptideTable& table, std::vector<Key>& keys) {
    auto full = [&](const Key& x, const Key& y) {
        if (x.reference != y.reference) return x.reference < y.reference;
        if (x.members != y.members) return x.members > y.members;
        if (x.total != y.total) return x.total > y.total;
        if (x.length != y.length) return x.length < y.length;
        return text_less(table, x.prefix, x.centroid, y.prefix, y.centroid);
    };
    // The usual table packs the order into two words, members and total in one, length and the text's
    // first seven bytes in the other, and only equal words need the texts. Centroids differ in text, so
    // the order is total and either sort gives the same one.
    const bool packs = std::all_of(keys.begin(), keys.end(), [](const Key& k) {
        return k.reference == kNotReference && k.members < (1u << 24) && k.total < (CountSum{1} << 40) &&
               k.length < 256;
    });
    if (!packs) {
        std::sort(keys.begin(), keys.end(), full);
        return;
    }
    struct Packed {
        std::uint64_t hi, lo;
        std::uint32_t key;
    };
    std::vector<Packed> packed(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const Key& x = keys[k];
        packed[k] = {(static_cast<std::uint64_t>((1u << 24) - 1 - x.members) << 40) |
                         ((std::uint64_t{1} << 40) - 1 - static_cast<std::uint64_t>(x.total)),
                     (static_cast<std::uint64_t>(x.length) << 56) | (x.prefix >> 8), static_cast<std::uint32_t>(k)};
    }
    std::sort(packed.begin(), packed.end(), [&](const Packed& x, const Packed& y) {
        if (x.hi != y.hi) return x.hi < y.hi;
        if (x.lo != y.lo) return x.lo < y.lo;
        return table.peptide(keys[x.key].centroid) < table.peptide(keys[y.key].centroid);
    });
    std::vector<Key> sorted(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) sorted[k] = keys[packed[k].key];
    keys = std::move(sorted);
}

}  // namespace

bool larger_cluster(const PeptideTable& table, const ClusterOrder::Cluster& x, const ClusterOrder::Cluster& y) {
    if (x.members != y.members) return x.members > y.members;
    if (x.total != y.total) return x.total > y.total;
    if (table.length(x.centroid) != table.length(y.centroid)) return table.length(x.centroid) < table.length(y.centroid);
    return table.peptide(x.centroid) < table.peptide(y.centroid);
}

ClusterOrder order_clusters(const PeptideTable& table, const Assignment& a,
                            const std::vector<std::uint64_t>* reference_numbers) {
    const std::size_t n = table.size();
    // Members grouped by centroid with a counting sort, each group in table order.
    std::vector<std::uint32_t> start(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (a.centroid[i] != kUnclustered) ++start[a.centroid[i] + 1];
    for (std::size_t c = 0; c < n; ++c) start[c + 1] += start[c];
    std::vector<std::uint32_t> grouped(start[n]);
    {
        std::vector<std::uint32_t> at(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            if (a.centroid[i] != kUnclustered) grouped[at[a.centroid[i]]++] = static_cast<std::uint32_t>(i);
    }

    std::vector<Key> keys;
    {
        std::size_t clusters = 0;
        for (std::size_t c = 0; c < n; ++c) clusters += start[c + 1] != start[c];
        keys.reserve(clusters);
    }
    const auto& counts = table.counts();
    struct Member {
        std::uint64_t count;
        std::uint64_t prefix;
        std::uint32_t peptide;
    };
    std::vector<Member> members;
    // Members are visited in grouped order, their data scattered over the table: ask for it ahead.
    constexpr std::uint32_t kAhead = 32;
    std::uint32_t asked = 0, asked_text = 0;
    for (std::size_t c = 0; c < n; ++c) {
        const std::uint32_t size = start[c + 1] - start[c];
        if (size == 0) continue;
        for (const std::uint32_t until = std::min(start[c + 1] + kAhead, start[n]); asked < until; ++asked)
            table.prefetch(grouped[asked]);
        for (const std::uint32_t until = std::min(start[c + 1] + kAhead / 2, start[n]); asked_text < until; ++asked_text)
            table.prefetch_text(grouped[asked_text]);
        CountSum total = 0;
        for (std::uint32_t k = start[c]; k < start[c + 1]; ++k) total += counts[grouped[k]];
        const std::string_view text = table.peptide(c);
        const std::uint64_t reference = reference_numbers != nullptr ? (*reference_numbers)[c] : kNotReference;
        keys.push_back({reference, size, static_cast<std::uint32_t>(text.size()), total, prefix_of(text),
                        static_cast<std::uint32_t>(c), start[c]});
        if (size > 1) {
            // The centroid first, then by count descending, then text.
            members.clear();
            for (std::uint32_t k = start[c]; k < start[c + 1]; ++k) {
                const std::uint32_t p = grouped[k];
                members.push_back({p == c ? UINT64_MAX : counts[p], prefix_of(table.peptide(p)), p});
            }
            std::sort(members.begin(), members.end(), [&](const Member& x, const Member& y) {
                const bool cx = x.peptide == c, cy = y.peptide == c;
                if (cx != cy) return cx;
                if (x.count != y.count) return x.count > y.count;
                return text_less(table, x.prefix, x.peptide, y.prefix, y.peptide);
            });
            for (std::uint32_t k = 0; k < size; ++k) grouped[start[c] + k] = members[k].peptide;
        }
    }
    sort_keys(table, keys);

    ClusterOrder out;
    out.assigned = reference_numbers != nullptr;
    out.clusters.reserve(keys.size());
    out.rows.reserve(grouped.size());
    out.row_cluster.reserve(grouped.size());
    std::uint64_t next_number = 0;
    if (reference_numbers != nullptr)
        for (const std::uint64_t number : *reference_numbers)
            if (number != kNotReference) next_number = std::max(next_number, number + 1);
    for (std::size_t k = 0; k < keys.size(); ++k) {
        if (k + 16 < keys.size()) __builtin_prefetch(grouped.data() + keys[k + 16].first);
        const Key& key = keys[k];
        const bool reference = key.reference != kNotReference;
        const std::uint64_t number = reference ? key.reference : reference_numbers != nullptr ? next_number++ : k;
        out.clusters.push_back(
            {key.centroid, static_cast<std::uint32_t>(out.rows.size()), key.members, key.total, number, reference});
        out.rows.insert(out.rows.end(), grouped.begin() + key.first, grouped.begin() + key.first + key.members);
        out.row_cluster.insert(out.row_cluster.end(), key.members, static_cast<std::uint32_t>(k));
    }
    return out;
}

namespace {

// Text appended through a raw pointer into room made beforehand: the rows of a table are many and short.
class Sink {
public:
    explicit Sink(std::string& out) : out_(out), used_(out.size()) {}
    ~Sink() { out_.resize(used_); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    std::size_t size() const { return used_; }
    // Room for `n` more bytes.
    char* room(std::size_t n) {
        if (out_.size() < used_ + n) out_.resize(std::max({2 * out_.size(), used_ + n, out_.capacity()}));
        return out_.data() + used_;
    }
    void commit(char* end) { used_ = static_cast<std::size_t>(end - out_.data()); }

private:
    std::string& out_;
    std::size_t used_;
};

char* put(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

template <class T>
char* put_int(char* p, T value) {
    return std::to_chars(p, p + 24, value).ptr;
}

char* put_sum(char* p, CountSum value) {
    if (value <= UINT64_MAX) return put_int(p, static_cast<std::uint64_t>(value));
    char buf[40];
    char* q = buf + sizeof buf;
    do {
        *--q = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return put(p, {q, static_cast<std::size_t>(buf + sizeof buf - q)});
}

// At most 32 bytes.
char* put_float(char* p, double value) {
    if (std::isnan(value)) return put(p, "nan");
    if (std::isinf(value)) return put(p, value < 0 ? "-inf" : "inf");
    char buf[40];
    const char* end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific).ptr;
    const char* s = buf;
    if (*s == '-') *p++ = *s++;
    char digits[24];
    std::size_t n = 0;
    for (; *s != 'e'; ++s)
        if (*s != '.') digits[n++] = *s;
    int exponent = 0;
    ++s;
    std::from_chars(s + (*s == '+'), end, exponent);
    if (exponent >= -4 && exponent < 16) {
        const int point = exponent + 1;  // digits before the decimal point
        if (point <= 0) {
            p = put(p, "0.");
            for (int i = 0; i < -point; ++i) *p++ = '0';
            p = put(p, {digits, n});
        } else if (static_cast<std::size_t>(point) >= n) {
            p = put(p, {digits, n});
            for (std::size_t i = n; i < static_cast<std::size_t>(point); ++i) *p++ = '0';
            p = put(p, ".0");
        } else {
            p = put(p, {digits, static_cast<std::size_t>(point)});
            *p++ = '.';
            p = put(p, {digits + point, n - static_cast<std::size_t>(point)});
        }
        return p;
    }
    *p++ = digits[0];
    if (n > 1) {
        *p++ = '.';
        p = put(p, {digits + 1, n - 1});
    }
    p = put(p, exponent < 0 ? "e-" : "e+");
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *p++ = '0';
    return put_int(p, magnitude);
}

// The text of recent similarities: a table's rows repeat a few values many times (every singleton's own
// similarity, to begin with), and writing a double's shortest text is the dearest part of a row.
class FloatTexts {
public:
    FloatTexts() : slots_(kSlots) {}

    char* put(char* p, double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
        if (slot.len == 0 || slot.bits != bits) {
            slot.bits = bits;
            slot.len = static_cast<std::uint8_t>(put_float(slot.text, value) - slot.text);
        }
        std::memcpy(p, slot.text, 32);
        return p + slot.len;
    }

private:
    static constexpr unsigned kBits = 12;
    static constexpr std::size_t kSlots = std::size_t{1} << kBits;
    struct Slot {
        std::uint64_t bits = 0;
        std::uint8_t len = 0;
        char text[32];
    };
    std::vector<Slot> slots_;
};

char* put_identity(char* p, std::string_view a, std::string_view b) {
    std::size_t same = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) same += a[i] == b[i];
    const int n = std::snprintf(p, 32, "%.2f", 100.0 * static_cast<double>(same) / static_cast<double>(a.size()));
    return p + n;
}

}  // namespace

RecordIndex::RecordIndex(const PeptideTable& table) {
    const auto& all = table.records();
    if (all.empty()) return;
    start.assign(table.size() + 1, 0);
    for (const auto& r : all) ++start[r.peptide + 1];
    for (std::size_t i = 0; i < table.size(); ++i) start[i + 1] += start[i];
    records.resize(all.size());
    std::vector<std::uint32_t> at(start.begin(), start.end() - 1);
    for (std::size_t k = 0; k < all.size(); ++k) records[at[all[k].peptide]++] = static_cast<std::uint32_t>(k);
}

std::string_view RecordIndex::name(const PeptideTable& table, std::uint32_t peptide) const {
    if (start.empty() || start[peptide] == start[peptide + 1]) return table.peptide(peptide);
    return table.record_name(table.records()[records[start[peptide]]]);
}

void append_sum(std::string& out, CountSum value) {
    Sink sink(out);
    sink.commit(put_sum(sink.room(40), value));
}

void append_float(std::string& out, double value) {
    Sink sink(out);
    sink.commit(put_float(sink.room(40), value));
}

std::size_t render_units(Output kind, const ClusterOrder& order) {
    return kind == Output::tsv || kind == Output::csv ? order.rows.size() : order.clusters.size();
}

SampleIndex::SampleIndex(PeptideTable& table) {
    if (!table.has_samples()) return;
    counts = &table.sample_counts();
    samples = table.sample_names().size();
    start.assign(table.size() + 1, 0);
    for (const auto& c : *counts) ++start[c.peptide + 1];
    for (std::size_t i = 0; i < table.size(); ++i) start[i + 1] += start[i];
}

void SampleIndex::shares(const ClusterOrder& order, std::size_t k, std::vector<Share>& out) const {
    out.assign(samples, Share{});
    const auto& cluster = order.clusters[k];
    for (std::uint32_t r = cluster.first_row; r < cluster.first_row + cluster.members; ++r) {
        const std::uint32_t p = order.rows[r];
        for (std::uint32_t e = start[p]; e < start[p + 1]; ++e) {
            Share& share = out[(*counts)[e].sample];
            share.count += (*counts)[e].count;
            ++share.peptides;
        }
    }
}

std::size_t render(Output kind, const Outputs& outputs, std::size_t from, std::size_t budget, std::string& out) {
    constexpr std::size_t kNumbers = 160;  // room for every number of a row or an entry
    constexpr std::size_t kAhead = 16;     // rows whose data is asked for before it is needed
    const PeptideTable& table = outputs.table;
    const Assignment& a = outputs.assignment;
    const ClusterOrder& order = outputs.order;
    const RecordIndex& records = outputs.records;
    const std::size_t units = render_units(kind, order);
    std::size_t k = from;
    Sink sink(out);
    if (kind == Output::samples) {
        std::vector<SampleIndex::Share> shares;
        std::size_t asked = k < units ? order.clusters[k].first_row : 0, asked_counts = asked;
        for (; k < units && sink.size() < budget; ++k) {
            const auto& cluster = order.clusters[k];
            const std::size_t end = cluster.first_row + cluster.members;
            for (; asked < std::min(end + kAhead, order.rows.size()); ++asked) outputs.samples.prefetch(order.rows[asked]);
            for (; asked_counts < std::min(end + kAhead / 2, order.rows.size()); ++asked_counts)
                outputs.samples.prefetch_counts(order.rows[asked_counts]);
            const std::string_view centroid = table.peptide(cluster.centroid);
            outputs.samples.shares(order, k, shares);
            char* w = sink.room(centroid.size() + kNumbers + 64 * shares.size());
            w = put_int(w, cluster.number);
            *w++ = '\t';
            w = put(w, centroid);
            *w++ = '\t';
            w = put_int(w, centroid.size());
            *w++ = '\t';
            w = put_int(w, cluster.members);
            *w++ = '\t';
            w = put_sum(w, cluster.total);
            for (const auto& share : shares) {
                if (share.peptides == 0) {  // most clusters are in few samples
                    std::memcpy(w, "\t0\t0", 4);
                    w += 4;
                    continue;
                }
                *w++ = '\t';
                w = put_sum(w, share.count);
                *w++ = '\t';
                w = put_int(w, share.peptides);
            }
            *w++ = '\n';
            sink.commit(w);
        }
        return k;
    }
    if (kind == Output::tsv || kind == Output::csv) {
        const char sep = kind == Output::tsv ? '\t' : ',';
        FloatTexts floats;
        for (; k < units && sink.size() < budget; ++k) {
            // Rows come in cluster order, so every peptide's data is a miss: ask for it ahead.
            if (k + kAhead < units) {
                const std::uint32_t q = order.rows[k + kAhead];
                table.prefetch(q);
                __builtin_prefetch(a.similarity.data() + q);
            }
            if (k + kAhead / 2 < units) table.prefetch_text(order.rows[k + kAhead / 2]);
            const std::uint32_t p = order.rows[k];
            const std::uint32_t number = order.row_cluster[k];
            const auto& cluster = order.clusters[number];
            const std::string_view peptide = table.peptide(p), centroid = table.peptide(cluster.centroid);
            char* w = sink.room(peptide.size() + centroid.size() + kNumbers);
            w = put(w, peptide);
            *w++ = sep;
            w = put_int(w, peptide.size());
            *w++ = sep;
            w = put_int(w, table.count(p));
            *w++ = sep;
            w = put_int(w, cluster.number);
            *w++ = sep;
            w = put(w, centroid);
            *w++ = sep;
            w = floats.put(w, a.similarity[p]);
            *w++ = sep;
            w = put_int(w, cluster.members);
            *w++ = sep;
            w = put_sum(w, cluster.total);
            if (order.assigned) {
                *w++ = sep;
                w = put(w, cluster.reference ? "reference" : "new");
            }
            *w++ = '\n';
            sink.commit(w);
        }
        return k;
    }
    if (kind == Output::centroids) {
        for (; k < units && sink.size() < budget; ++k) {
            if (k + kAhead < units) table.prefetch(order.clusters[k + kAhead].centroid);
            if (k + kAhead / 2 < units) table.prefetch_text(order.clusters[k + kAhead / 2].centroid);
            const auto& cluster = order.clusters[k];
            const std::string_view name = records.name(table, cluster.centroid), peptide = table.peptide(cluster.centroid);
            char* w = sink.room(name.size() + peptide.size() + kNumbers);
            *w++ = '>';
            w = put(w, name);
            w = put(w, " cluster=");
            w = put_int(w, cluster.number);
            w = put(w, " members=");
            w = put_int(w, cluster.members);
            w = put(w, " count=");
            w = put_sum(w, cluster.total);
            *w++ = '\n';
            w = put(w, peptide);
            *w++ = '\n';
            sink.commit(w);
        }
        return k;
    }
    // .clstr: CD-HIT's layout. Peptides read from FASTA are listed once per record, under the record's
    // name, as CD-HIT lists every sequence; other peptides under their own text.
    std::size_t asked = k < units ? order.clusters[k].first_row : 0, asked_text = asked;
    for (; k < units && sink.size() < budget; ++k) {
        const auto& cluster = order.clusters[k];
        const std::size_t end = cluster.first_row + cluster.members;
        for (; asked < std::min(end + kAhead, order.rows.size()); ++asked) table.prefetch(order.rows[asked]);
        for (; asked_text < std::min(end + kAhead / 2, order.rows.size()); ++asked_text)
            table.prefetch_text(order.rows[asked_text]);
        const std::string_view centroid = table.peptide(cluster.centroid);
        char* w = sink.room(kNumbers);
        w = put(w, ">Cluster ");
        w = put_int(w, cluster.number);
        *w++ = '\n';
        sink.commit(w);
        std::size_t entry = 0;
        for (std::uint32_t r = cluster.first_row; r < cluster.first_row + cluster.members; ++r) {
            const std::uint32_t p = order.rows[r];
            const std::string_view peptide = table.peptide(p);
            const std::uint32_t first = records.start.empty() ? 0 : records.start[p];
            const std::uint32_t last = records.start.empty() ? 0 : records.start[p + 1];
            const std::size_t names = first == last ? 1 : last - first;
            for (std::size_t j = 0; j < names; ++j) {
                const std::string_view name =
                    first == last ? peptide : table.record_name(table.records()[records.records[first + j]]);
                w = sink.room(name.size() + kNumbers);
                w = put_int(w, entry++);
                *w++ = '\t';
                w = put_int(w, peptide.size());
                w = put(w, "aa, >");
                w = put(w, name);
                w = put(w, "... ");
                if (p == cluster.centroid && j == 0) {
                    *w++ = '*';
                } else {
                    w = put(w, "at ");
                    w = put_identity(w, peptide, centroid);
                    *w++ = '%';
                }
                *w++ = '\n';
                sink.commit(w);
            }
        }
    }
    return k;
}

}  // namespace kelvara
