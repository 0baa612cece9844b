#include "binding/anchor_counts.hpp"

namespace kelvara::py {

AnchorTable parse_anchor_counts(PyObject* dict, std::vector<Ref>* keys) {
    std::vector<std::string> anchors;
    std::vector<std::uint64_t> counts;
    const auto size = static_cast<std::size_t>(PyDict_Size(dict));
    anchors.reserve(size);
    counts.reserve(size);
    walk_dict(dict, [&](PyObject* key, PyObject* value) {
        anchors.push_back(as_utf8(key));
        counts.push_back(as_u64(value));
        if (keys != nullptr) keys->push_back(Ref::borrow(key));
    });
    return build_anchor_table(std::move(anchors), std::move(counts));
}

}  // namespace kelvara::py
