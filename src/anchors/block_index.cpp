#include "anchors/block_index.hpp"

namespace kelvara {

BlockIndex::BlockIndex(const SimTables& t) : tables_(t), depth_(t.positions.size()), monotone_(true) {
    for (std::size_t p : t.positions) {
        scale_.push_back(t.scale[p]);
        monotone_ = monotone_ && t.scale[p] >= 0.0;
    }
    monotone_ = monotone_ && t.anchor_share >= 0.0 && t.anchor_share <= 1.0;
    rest_.assign(depth_ + 1, 0.0);
    for (std::size_t j = depth_; j-- > 0;) rest_[j] = rest_[j + 1] + scale_[j];
    for (double& r : rest_) r += 1e-12;
}

void BlockIndex::add(std::uint64_t key, std::uint32_t id) {
    if (root_ == kNone) {
        root_ = 0;
        nodes_.emplace_back();
    }
    std::uint32_t at = root_;
    for (std::size_t depth = 0; depth < depth_; ++depth) {
        const std::size_t s = slot(byte_at(key, depth));
        if (nodes_[at].mask >> s & 1u) {
            at = nodes_[at].child[s];
            continue;
        }
        std::uint32_t next;
        if (depth + 1 == depth_) {
            next = static_cast<std::uint32_t>(leaves_.size());
            leaves_.push_back({key, id});
        } else {
            next = static_cast<std::uint32_t>(nodes_.size());
            nodes_.emplace_back();
        }
        nodes_[at].child[s] = next;
        nodes_[at].mask = static_cast<std::uint16_t>(nodes_[at].mask | 1u << s);
        at = next;
    }
}

}  // namespace kelvara
