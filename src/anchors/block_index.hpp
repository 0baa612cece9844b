#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "anchors/sim_tables.hpp"

namespace kelvara {

// Block keys in a trie over their bytes, first anchor position first. A depth-first walk meets the keys in
// ascending order and sums the block upper bound along the way, in the order block_upper_bound sums it, so
// that whole subtrees can be left out where no key below can reach a cut. With many anchor positions there
// are nearly as many blocks as anchors, and looking at every block for every anchor would not scale.
class BlockIndex {
public:
    explicit BlockIndex(const SimTables& t);

    // Adds a key, with the id a walk reports for it. Each key at most once; any order.
    void add(std::uint64_t key, std::uint32_t id);

    std::size_t size() const { return leaves_.size(); }

    // Calls visit(id, key, bound) for every key other than `own`, in ascending order, whose bound against
    // `own` passes keep(bound), and only for keys agreeing with `own` at some anchor position when
    // `agreeing`. Subtrees are left out where hopeless(b) holds for a value b that no bound below can
    // exceed; that is done only when the weights make such a value exist (none negative or NaN). Stops
    // when visit returns false.
    template <class Hopeless, class Keep, class Visit>
    void walk(std::uint64_t own, bool agreeing, Hopeless&& hopeless, Keep&& keep, Visit&& visit) const {
        if (root_ == kNone) return;
        Walk<Hopeless&, Keep&, Visit&> w{*this, own, agreeing, hopeless, keep, visit, {}};
        for (std::size_t j = 0; j < depth_; ++j) w.own_slot[j] = static_cast<std::uint8_t>(slot(byte_at(own, j)));
        w.node(root_, 0, 1.0 - tables_.anchor_share, false);
    }

    // Calls emit(id_a, id_b, bound) for every pair of distinct keys a and b whose bound of b against a (own)
    // passes keep(bound), and that agree at some anchor position when `agreeing`: what walk(a, ...) would
    // visit, with the same bounds, for every a at once, sharing the work of keys with a common prefix and,
    // where the group scores make the bounds of (a, b) and (b, a) equal, judging each pair once for both
    // orders. No order among the calls. Stops, returning false, when emit does.
    template <class Hopeless, class Keep, class Emit>
    bool join(bool agreeing, Hopeless&& hopeless, Keep&& keep, Emit&& emit) const {
        if (root_ == kNone) return true;
        Join<Hopeless&, Keep&, Emit&> j{*this, agreeing, hopeless, keep, emit};
        return j.pair(root_, root_, 0, 1.0 - tables_.anchor_share, false);
    }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    static constexpr std::size_t kSlots = 11;  // residue groups 0-9, then the byte 255

    struct Node {
        std::array<std::uint32_t, kSlots> child;  // node index, or at the last level a leaf index
        std::uint16_t mask = 0;
        std::uint32_t only = kNone;  // the leaf of the one key below this node; kNone once there are more
    };
    // What a level adds to the bound for each slot of the other key, given the slot of the own key there,
    // and the slots by that, largest first.
    struct Level {
        std::array<double, kSlots> add;
        std::array<std::uint8_t, kSlots> by_add;
    };
    struct Leaf {
        std::uint64_t key;
        std::uint32_t id;
    };

    static std::size_t slot(std::uint8_t byte) { return byte == kNoGroup ? kSlots - 1 : byte; }
    static std::uint8_t byte_of(std::size_t slot) {
        return slot == kSlots - 1 ? kNoGroup : static_cast<std::uint8_t>(slot);
    }
    std::uint8_t byte_at(std::uint64_t key, std::size_t depth) const {
        return static_cast<std::uint8_t>(key >> (8 * (depth_ - 1 - depth)));
    }

    template <class Hopeless, class Keep, class Visit>
    struct Walk {
        const BlockIndex& index;
        std::uint64_t own;
        bool agreeing;
        Hopeless hopeless;
        Keep keep;
        Visit visit;
        std::array<std::uint8_t, 8> own_slot;

        // Returns false once the visitor asked to stop.
        bool node(std::uint32_t at, std::size_t depth, double u, bool agreed) {
            const Node& n = index.nodes_[at];
            const Level& level = index.levels_[depth * kSlots + own_slot[depth]];
            std::uint32_t open = n.mask;
            if (index.monotone_) {
                // The bound grows with what a level adds, so the children that can still reach the cut are
                // those adding the most, down to the first that cannot.
                open = 0;
                const double rest = index.rest_[depth + 1];
                for (std::uint8_t h : level.by_add) {
                    if (hopeless(u + level.add[h] + rest)) break;
                    open |= 1u << h;
                }
                open &= n.mask;
            }
            const bool last = depth + 1 == index.depth_;
            for (; open != 0; open &= open - 1) {
                const std::size_t h = static_cast<std::size_t>(__builtin_ctz(open));
                const double v = u + level.add[h];
                const bool now_agreed = agreed || h == own_slot[depth];
                if (last) {
                    const Leaf& leaf = index.leaves_[n.child[h]];
                    if (leaf.key == own || (agreeing && !now_agreed) || !keep(v)) continue;
                    if (!visit(leaf.id, leaf.key, v)) return false;
                } else if (!node(n.child[h], depth + 1, v, now_agreed)) {
                    return false;
                }
            }
            return true;
        }
    };

    template <class Hopeless, class Keep, class Emit>
    struct Join {
        const BlockIndex& index;
        bool agreeing;
        Hopeless hopeless;
        Keep keep;
        Emit emit;

        // Nodes a and b at one depth; u is the bound of b's prefix against a's.
        bool pair(std::uint32_t a, std::uint32_t b, std::size_t depth, double u, bool agreed) {
            const Node& na = index.nodes_[a];
            const Node& nb = index.nodes_[b];
            if (na.only != kNone && nb.only != kNone && a != b)
                return leaves(index.leaves_[na.only], index.leaves_[nb.only], depth, u, agreed);
            const bool once = index.symmetric_;
            const bool last = depth + 1 == index.depth_;
            const double rest = index.rest_[depth + 1];
            for (std::uint32_t mine = na.mask; mine != 0; mine &= mine - 1) {
                const std::size_t g = static_cast<std::size_t>(__builtin_ctz(mine));
                const Level& level = index.levels_[depth * kSlots + g];
                std::uint32_t open = nb.mask;
                if (once && a == b) open &= ~((1u << g) - 1u);
                if (index.monotone_) {
                    std::uint32_t hopeful = 0;
                    for (std::uint8_t h : level.by_add) {
                        if (hopeless(u + level.add[h] + rest)) break;
                        hopeful |= 1u << h;
                    }
                    open &= hopeful;
                }
                for (; open != 0; open &= open - 1) {
                    const std::size_t h = static_cast<std::size_t>(__builtin_ctz(open));
                    const double v = u + level.add[h];
                    const bool now_agreed = agreed || h == g;
                    if (last) {
                        const Leaf& x = index.leaves_[na.child[g]];
                        const Leaf& y = index.leaves_[nb.child[h]];
                        if (x.key == y.key || (agreeing && !now_agreed) || !keep(v)) continue;
                        if (!emit(x.id, y.id, v) || (once && !emit(y.id, x.id, v))) return false;
                    } else if (!pair(na.child[g], nb.child[h], depth + 1, v, now_agreed)) {
                        return false;
                    }
                }
            }
            return true;
        }

        // One key below each node: the rest of their bound in one loop, summed as the levels would sum it.
        bool leaves(const Leaf& x, const Leaf& y, std::size_t depth, double u, bool agreed) {
            for (std::size_t j = depth; j < index.depth_; ++j) {
                const std::size_t g = slot(index.byte_at(x.key, j));
                const std::size_t h = slot(index.byte_at(y.key, j));
                u = u + index.levels_[j * kSlots + g].add[h];
                agreed = agreed || g == h;
                if (index.monotone_ && hopeless(u + index.rest_[j + 1])) return true;
            }
            if ((agreeing && !agreed) || !keep(u)) return true;
            return emit(x.id, y.id, u) && (!index.symmetric_ || emit(y.id, x.id, u));
        }
    };

    const SimTables& tables_;
    std::size_t depth_;          // anchor positions
    std::vector<double> scale_;  // per level, the scale of its anchor position
    // Per level, more than the levels from there on can still add: their scales (no group scores above 1),
    // plus room for every rounding of the sums, which all stay within [-1, 2] when no weight is negative.
    std::vector<double> rest_;
    bool monotone_;
    bool symmetric_;             // every level adds the same for (g, h) as for (h, g)
    std::vector<Level> levels_;  // per level and own slot
    std::uint32_t root_ = kNone;
    std::vector<Node> nodes_;
    std::vector<Leaf> leaves_;
};

// For every key of `keys` (ascending, distinct), the indices of the other keys a walk from it with these
// tests would visit, in ascending order. Found for all keys at once, which with many anchor positions costs
// a fraction of walking from each. None when the lists would hold more than `limit` entries in all.
template <class Hopeless, class Keep>
std::optional<std::vector<std::vector<std::uint32_t>>> neighbour_lists(const SimTables& t,
                                                                       const std::vector<std::uint64_t>& keys,
                                                                       bool agreeing, Hopeless&& hopeless, Keep&& keep,
                                                                       std::size_t limit) {
    BlockIndex index(t);
    for (std::size_t k = 0; k < keys.size(); ++k) index.add(keys[k], static_cast<std::uint32_t>(k));
    std::vector<std::vector<std::uint32_t>> lists(keys.size());
    std::size_t total = 0;
    const bool complete = index.join(agreeing, hopeless, keep, [&](std::uint32_t a, std::uint32_t b, double) {
        lists[a].push_back(b);
        return ++total <= limit;
    });
    if (!complete) return std::nullopt;
    for (std::vector<std::uint32_t>& list : lists) std::sort(list.begin(), list.end());
    return lists;
}

}  // namespace kelvara
