#include "anchors/block_index.hpp"

namespace kelvara {

BlockIndex::BlockIndex(const SimTables& t) : tables_(t), depth_(t.positions.size()), monotone_(true), symmetric_(true) {
    for (std::size_t p : t.positions) {
        scale_.push_back(t.scale[p]);
        monotone_ = monotone_ && t.scale[p] >= 0.0;
    }
    monotone_ = monotone_ && t.anchor_share >= 0.0 && t.anchor_share <= 1.0;
    rest_.assign(depth_ + 1, 0.0);
    for (std::size_t j = depth_; j-- > 0;) rest_[j] = rest_[j + 1] + scale_[j];
    for (double& r : rest_) r += 1e-12;
    levels_.resize(depth_ * kSlots);
    for (std::size_t j = 0; j < depth_; ++j) {
        for (std::size_t own = 0; own < kSlots; ++own) {
            Level& level = levels_[j * kSlots + own];
            for (std::size_t h = 0; h < kSlots; ++h) {
                const double f = (own == kSlots - 1 || h == kSlots - 1) ? 1.0 : t.group_max[own][h];
                level.add[h] = f * scale_[j];
                level.by_add[h] = static_cast<std::uint8_t>(h);
            }
            std::stable_sort(level.by_add.begin(), level.by_add.end(),
                             [&](std::uint8_t a, std::uint8_t b) { return level.add[a] > level.add[b]; });
        }
    }
    // Compared bit for bit (NaN never equal), since a join then takes one bound for both orders of a pair.
    for (std::size_t j = 0; j < depth_; ++j)
        for (std::size_t g = 0; g < kSlots; ++g)
            for (std::size_t h = 0; h < kSlots; ++h)
                symmetric_ = symmetric_ && levels_[j * kSlots + g].add[h] == levels_[j * kSlots + h].add[g];
}

void BlockIndex::add(std::uint64_t key, std::uint32_t id) {
    // The key's leaf comes last; nodes made for it have it alone below them, those it passes no longer.
    const auto leaf = static_cast<std::uint32_t>(leaves_.size());
    if (root_ == kNone) {
        root_ = 0;
        nodes_.emplace_back().only = leaf;
    } else {
        nodes_[root_].only = kNone;
    }
    std::uint32_t at = root_;
    for (std::size_t depth = 0; depth < depth_; ++depth) {
        const std::size_t s = slot(byte_at(key, depth));
        if (nodes_[at].mask >> s & 1u) {
            at = nodes_[at].child[s];
            if (depth + 1 < depth_) nodes_[at].only = kNone;
            continue;
        }
        std::uint32_t next;
        if (depth + 1 == depth_) {
            next = static_cast<std::uint32_t>(leaves_.size());
            leaves_.push_back({key, id});
        } else {
            next = static_cast<std::uint32_t>(nodes_.size());
            nodes_.emplace_back().only = leaf;
        }
        nodes_[at].child[s] = next;
        nodes_[at].mask = static_cast<std::uint16_t>(nodes_[at].mask | 1u << s);
        at = next;
    }
}

}  // namespace kelvara
