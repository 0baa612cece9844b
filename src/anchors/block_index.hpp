#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
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
        Walk<Hopeless&, Keep&, Visit&> w{*this, own, agreeing, hopeless, keep, visit, {}, {}, {}};
        for (std::size_t j = 0; j < depth_; ++j) {
            const std::uint8_t g = byte_at(own, j);
            w.own_slot[j] = static_cast<std::uint8_t>(slot(g));
            for (std::size_t h = 0; h < kSlots; ++h) {
                const double f = (g == kNoGroup || h == kSlots - 1) ? 1.0 : tables_.group_max[g][h];
                w.add[j][h] = f * scale_[j];
                w.by_add[j][h] = static_cast<std::uint8_t>(h);
            }
            std::stable_sort(w.by_add[j].begin(), w.by_add[j].end(),
                             [&](std::uint8_t a, std::uint8_t b) { return w.add[j][a] > w.add[j][b]; });
        }
        w.node(root_, 0, 1.0 - tables_.anchor_share, false);
    }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    static constexpr std::size_t kSlots = 11;  // residue groups 0-9, then the byte 255

    struct Node {
        std::array<std::uint32_t, kSlots> child;  // node index, or at the last level a leaf index
        std::uint16_t mask = 0;
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
        std::array<std::array<double, kSlots>, 8> add;           // per level and slot, what the bound adds
        std::array<std::array<std::uint8_t, kSlots>, 8> by_add;  // per level, the slots by that, largest first
        std::array<std::uint8_t, 8> own_slot;

        // Returns false once the visitor asked to stop.
        bool node(std::uint32_t at, std::size_t depth, double u, bool agreed) {
            const Node& n = index.nodes_[at];
            std::uint32_t open = n.mask;
            if (index.monotone_) {
                // The bound grows with what a level adds, so the children that can still reach the cut are
                // those adding the most, down to the first that cannot.
                open = 0;
                const double rest = index.rest_[depth + 1];
                for (std::uint8_t h : by_add[depth]) {
                    if (hopeless(u + add[depth][h] + rest)) break;
                    open |= 1u << h;
                }
                open &= n.mask;
            }
            const bool last = depth + 1 == index.depth_;
            for (; open != 0; open &= open - 1) {
                const std::size_t h = static_cast<std::size_t>(__builtin_ctz(open));
                const double v = u + add[depth][h];
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

    const SimTables& tables_;
    std::size_t depth_;          // anchor positions
    std::vector<double> scale_;  // per level, the scale of its anchor position
    // Per level, more than the levels from there on can still add: their scales (no group scores above 1),
    // plus room for every rounding of the sums, which all stay within [-1, 2] when no weight is negative.
    std::vector<double> rest_;
    bool monotone_;
    std::uint32_t root_ = kNone;
    std::vector<Node> nodes_;
    std::vector<Leaf> leaves_;
};

}  // namespace kelvara
