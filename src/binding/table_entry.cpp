#include <algorithm>
#include <cstring>
#include <string_view>

#include "anchors/anchor_table.hpp"
#include "anchors/errors.hpp"
#include "anchors/sim_tables.hpp"
#include "binding/entries.hpp"
#include "cluster/greedy.hpp"

namespace kelvara::py {

namespace {

const Signature kClusterSignature{
    "_cluster_table", {"anchors", "anchor_len", "counts", "threshold", "anchor_positions", "anchor_weight"}, 4};
const Signature kKeysSignature{"_block_keys_table", {"anchors", "anchor_len", "anchor_positions"}, 3};

std::string_view as_bytes(PyObject* obj) {
    if (!PyBytes_Check(obj)) raise_cannot_convert(obj, "PyBytes");
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) throw ErrorSet{};
    return {data, static_cast<std::size_t>(size)};
}

// Anchors packed end to end, laid out as build_anchor_table lays out a dict's: a byte of 128 or more as 0.
AnchorTable unpack(std::string_view packed, std::uint64_t anchor_len) {
    AnchorTable table;
    if (packed.empty()) return table;
    if (anchor_len == 0) throw InputError("anchors must be non-empty");
    if (packed.size() % anchor_len != 0) {
        throw InputError("anchors hold " + std::to_string(packed.size()) + " bytes, not a whole number of anchors of " +
                         std::to_string(anchor_len));
    }
    table.anchor_len = anchor_len;
    table.residues.resize(packed.size());
    std::transform(packed.begin(), packed.end(), table.residues.begin(), [](char ch) {
        const auto byte = static_cast<unsigned char>(ch);
        return static_cast<std::uint8_t>(byte < 128 ? byte : 0);
    });
    table.counts.resize(packed.size() / anchor_len);
    return table;
}

Ref packed_u64(const std::vector<std::uint64_t>& values) {
    Ref out = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size() * 8)));
    if (!values.empty()) std::memcpy(PyBytes_AsString(out.get()), values.data(), values.size() * 8);
    return out;
}

// cluster_anchors on a table of n anchors of anchor_len bytes each, packed in one bytes object, and their
// counts as n native-endian uint64; the given order stands for the dict's. Returns, for each anchor in
// that order, the row of its centroid, packed the same way, and the two counters.
PyObject* run_cluster(PyObject* args, PyObject* kwargs) {
    const auto a = bind_arguments(kClusterSignature, args, kwargs);
    const std::string_view packed = convert_argument("anchors", [&] { return as_bytes(a[0]); });
    const std::uint64_t anchor_len = convert_argument("anchor_len", [&] { return as_u64(a[1]); });
    const std::string_view count_bytes = convert_argument("counts", [&] { return as_bytes(a[2]); });
    const double threshold = convert_argument("threshold", [&] { return as_double(a[3]); });
    const std::vector<std::uint64_t> positions =
        a[4] != nullptr ? convert_argument("anchor_positions", [&] { return as_positions(a[4]); })
                        : std::vector<std::uint64_t>{1, 5};
    const double anchor_weight =
        a[5] != nullptr ? convert_argument("anchor_weight", [&] { return as_double(a[5]); }) : 2.0;

    AnchorTable table = unpack(packed, anchor_len);
    const std::size_t n = table.size();
    if (count_bytes.size() != n * 8) {
        throw InputError("counts hold " + std::to_string(count_bytes.size()) + " bytes, not 8 for each of " +
                         std::to_string(n) + " anchors");
    }
    if (n == 0) return new_tuple(packed_u64({}), new_int(0), new_int(0)).release();
    std::memcpy(table.counts.data(), count_bytes.data(), count_bytes.size());

    const SimTables tables =
        make_sim_tables(table.anchor_len, check_positions(positions, table.anchor_len), anchor_weight);
    GreedyOptions options;
    options.threshold = threshold;
    // As cluster_anchors cuts with its default obg_min_block_upper_bound of 0.0.
    options.effective_cut = effective_cut(threshold, 0.0);
    const auto [order, result] = cluster_in_order(table, tables, options, nullptr);

    std::vector<std::uint64_t> centroid_rows(n);
    for (std::size_t k = 0; k < n; ++k) centroid_rows[order[k]] = order[result.assignment[k]];
    return new_tuple(packed_u64(centroid_rows), new_int(result.n_comparisons), new_int(result.n_early_exits)).release();
}

PyObject* run_keys(PyObject* args, PyObject* kwargs) {
    const auto a = bind_arguments(kKeysSignature, args, kwargs);
    const std::string_view packed = convert_argument("anchors", [&] { return as_bytes(a[0]); });
    const std::uint64_t anchor_len = convert_argument("anchor_len", [&] { return as_u64(a[1]); });
    const std::vector<std::uint64_t> positions =
        convert_argument("anchor_positions", [&] { return as_positions(a[2]); });

    const AnchorTable table = unpack(packed, anchor_len);
    if (table.size() == 0) return packed_u64({}).release();
    const SimTables tables = make_sim_tables(table.anchor_len, check_positions(positions, table.anchor_len), 1.0);
    std::vector<std::uint64_t> keys(table.size());
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = block_key(tables, table.row(i));
    return packed_u64(keys).release();
}

}  // namespace

PyObject* cluster_table(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run_cluster(args, kwargs); });
}

PyObject* block_keys_table(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return run_keys(args, kwargs); });
}

}  // namespace kelvara::py
