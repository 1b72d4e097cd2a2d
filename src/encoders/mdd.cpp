// MDD encoder: a multi-valued decision diagram with one level per AMO group.
//
// A diagram state is (group index i, remaining capacity r). From a state the
// diagram branches on which literal of group i is true, if any: literal x of
// weight w leads to (i + 1, r - w), or to the FALSE terminal when w > r, and
// the "else" edge (no literal of the group true) leads to (i + 1, r). A state
// whose remaining groups cannot exceed r (r >= the suffix capacity of the
// sum of group maxima from i on) is the TRUE terminal. Each node gets one
// variable that is forced true when the constraint below the node is
// violated: node v with edge (x, child c) gets [-c, -x, v], an edge into
// FALSE gives [-x, v], and the root's variable is forced false. Since at most
// one literal of each group is true, a violating assignment walks one path to
// FALSE and forces every variable on it, up to the root; a satisfying one
// forces nothing that reaches the root.
//
// Nodes are memoised by the exact (i, r) pair, so the diagram has at most
// one node per distinct reachable remaining capacity per level, and one
// clause per edge. Nodes are numbered in the post-order of a depth-first
// construction that visits the else edge first and then the literals in
// group order; the construction uses an explicit stack so that the depth of
// the diagram (one level per group) never reaches the C stack.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "encoders/encoders.hpp"
#include "encoders/mdd.hpp"
#include "core/encoding.hpp"
#include "core/validate.hpp"

namespace quillet {

namespace {

using ChildCode = std::int32_t;  // a node index, or one of the terminals below
constexpr ChildCode kTrue = -1;
constexpr ChildCode kFalse = -2;

struct Edge {
    Lit lit;
    ChildCode child;
};

struct DiagramNode {
    Lit variable;
    ChildCode else_child;
    std::size_t first_edge;  // the node's edges are edges[first_edge, end_edge)
    std::size_t end_edge;
};

struct StateKey {
    std::uint64_t group;
    std::uint64_t capacity;
    bool operator==(const StateKey&) const = default;
};

struct StateKeyHash {
    std::size_t operator()(const StateKey& key) const {
        const std::uint64_t i = key.group;
        return static_cast<std::size_t>(i ^ (key.capacity + 0x9e3779b97f4a7c15ULL + (i << 6) + (i >> 2)));
    }
};

// Open-addressing map from state to node index. The memo is the hot spot of
// the construction (one probe per edge), and a node-based map would spend
// its time in the allocator. It is only probed and filled, never iterated.
class HashedMemo {
public:
    HashedMemo() { slots_.resize(kInitialSlots); }

    const ChildCode* find(const StateKey& key) const {
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (slot.node < 0) return nullptr;
            if (slot.key == key) return &slot.node;
        }
    }

    // The key must not be present yet.
    void insert(const StateKey& key, const ChildCode node) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        place(key, node);
        ++size_;
    }
    std::size_t size() const { return size_; }
    template <class F>
    void for_each(F&& visit) const {
        for (const Slot& slot : slots_)
            if (slot.node >= 0) visit(slot.key, slot.node);
    }

private:
    struct Slot {
        StateKey key{0, 0};
        ChildCode node = -1;  // -1 marks an empty slot
    };
    static constexpr std::size_t kInitialSlots = 64;

    std::size_t mask() const { return slots_.size() - 1; }
    // Fibonacci hashing spreads the keys, whose hashes for one level are
    // consecutive, over the whole table.
    std::size_t home(const StateKey& key) const {
        const std::uint64_t spread = static_cast<std::uint64_t>(StateKeyHash{}(key)) * 0x9e3779b97f4a7c15ULL;
        return static_cast<std::size_t>(spread >> (64 - std::countr_zero(slots_.size())));
    }
    void place(const StateKey& key, const ChildCode node) {
        std::size_t i = home(key);
        while (slots_[i].node >= 0) i = (i + 1) & mask();
        slots_[i] = Slot{key, node};
    }
    void grow() {
        std::vector<Slot> old(2 * slots_.size());
        old.swap(slots_);
        for (const Slot& slot : old)
            if (slot.node >= 0) place(slot.key, slot.node);
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

// The memo as one flat array indexed by level and remaining capacity, once
// the diagram has proven large enough to pay for the array: a probe is then
// one load from a row that the neighbouring probes of the same level share,
// instead of a cache miss at a hashed slot. The memo starts hashed and
// switches when the nodes reach 1/16 of the array's entries, so filling the
// array never costs more than a small multiple of building the nodes. Level
// i only ever asks for capacities below min(bound + 1, suffix capacity of
// i); larger ones resolve to TRUE first.
class StateMemo {
public:
    // Allows the dense form when its rows hold at most `dense_limit` entries.
    void prepare(const std::vector<unsigned __int128>& suffix, const Weight bound, const std::uint64_t dense_limit) {
        const std::size_t levels = suffix.size() - 1;
        std::uint64_t entries = 0;
        row_begin_.assign(levels, 0);
        for (std::size_t i = 0; i < levels; ++i) {
            row_begin_[i] = entries;
            const auto row = std::min<unsigned __int128>(suffix[i], static_cast<unsigned __int128>(bound) + 1);
            if (row > dense_limit - entries) return;  // too many: stay hashed
            entries += static_cast<std::uint64_t>(row);
        }
        dense_entries_ = entries;
    }

    const ChildCode* find(const StateKey& key) const {
        if (dense_.empty()) return hashed_.find(key);
        const ChildCode* slot = &dense_[row_begin_[key.group] + key.capacity];
        return *slot == kEmpty ? nullptr : slot;
    }
    void insert(const StateKey& key, const ChildCode node) {
        if (!dense_.empty()) {
            dense_[row_begin_[key.group] + key.capacity] = node;
            return;
        }
        hashed_.insert(key, node);
        if (dense_entries_ > 0 && hashed_.size() >= dense_entries_ / 16) go_dense();
    }

private:
    static constexpr ChildCode kEmpty = -3;

    void go_dense() {
        dense_.assign(dense_entries_, kEmpty);
        hashed_.for_each([this](const StateKey& key, const ChildCode node) {
            dense_[row_begin_[key.group] + key.capacity] = node;
        });
        hashed_ = HashedMemo();
    }

    std::uint64_t dense_entries_ = 0;  // 0: the dense form is not allowed
    std::vector<ChildCode> dense_;
    std::vector<std::uint64_t> row_begin_;
    HashedMemo hashed_;
};

// Suffix capacities are kept in 128 bits: the largest sum that groups i..
// can contribute may pass 2^64 - 1, and then no 64-bit remaining capacity
// reaches it (saturating at 2^64 - 1 instead would wrongly let a bound of
// 2^64 - 1 cover it).
using Capacity = unsigned __int128;

// The weights of the group literals in group order, one row per group:
// the diagram reads one per edge, and a row lookup is cheaper than a probe.
struct GroupWeights {
    std::vector<Weight> weights;
    std::vector<std::size_t> row_begin;  // one entry per group, plus the end

    const Weight* row(const std::size_t group) const { return weights.data() + row_begin[group]; }
};

GroupWeights group_weight_rows(const GroupedLeqConstraint& constraint, std::vector<Weight> weights) {
    GroupWeights out{std::move(weights), {}};
    out.row_begin.reserve(constraint.groups.size() + 1);
    std::size_t begin = 0;
    for (const std::vector<Lit>& group : constraint.groups) {
        out.row_begin.push_back(begin);
        begin += group.size();
    }
    out.row_begin.push_back(begin);
    return out;
}

// Largest sum that groups i.. can contribute, one literal per group.
std::vector<Capacity> suffix_capacities(const GroupWeights& weights) {
    const std::size_t num_groups = weights.row_begin.size() - 1;
    std::vector<Capacity> suffix(num_groups + 1, 0);
    for (std::size_t i = num_groups; i-- > 0;) {
        const auto row = std::span<const Weight>(weights.weights).subspan(
            weights.row_begin[i], weights.row_begin[i + 1] - weights.row_begin[i]);
        suffix[i] = suffix[i + 1] + std::ranges::max(row);
    }
    return suffix;
}

class DiagramBuilder {
public:
    DiagramBuilder(const std::vector<std::vector<Lit>>& groups, const GroupWeights& weights,
                   std::vector<Capacity> suffix, VariableManager& vars, const ClauseSink& sink)
        : groups_(groups),
          weights_(weights),
          suffix_(std::move(suffix)),
          vars_(vars),
          sink_(sink),
          room_(sink.max_literals() - std::min(sink.max_literals(), sink.num_literals())),
          poll_(sink, 4096) {}

    // The diagram rooted at (0, bound); returns its child code.
    ChildCode build(Weight bound);

    const std::vector<DiagramNode>& nodes() const { return nodes_; }
    const std::vector<Edge>& edges() const { return edges_; }

private:
    // A state whose expansion is in progress. `next` counts the outgoing
    // edges resolved so far: 0 is the else edge, k + 1 the k-th literal.
    struct Frame {
        std::uint64_t group = 0;
        Weight capacity = 0;
        std::size_t next = 0;
        ChildCode else_child = kTrue;
        std::vector<Edge> edges;
    };

    // The child code of a state if it is known without expanding it.
    bool try_resolve(std::uint64_t group, Weight capacity, ChildCode& code) const;
    void push_frame(std::uint64_t group, Weight capacity);
    // Records the child code of the top frame's next edge.
    void deliver(ChildCode code);
    ChildCode finish_top_frame();

    const std::vector<std::vector<Lit>>& groups_;
    const GroupWeights& weights_;
    const std::vector<Capacity> suffix_;
    VariableManager& vars_;
    const ClauseSink& sink_;
    // The literals the budget leaves for the diagram's clauses, and those its
    // finished nodes already need: the diagram is the size of its clauses,
    // so refusing here bounds its memory by the budget too.
    const std::uint64_t room_;
    std::uint64_t literals_ = 1;  // the root's unit clause
    PollCounter poll_;

    StateMemo memo_;
    std::vector<DiagramNode> nodes_;
    std::vector<Edge> edges_;
    // Frames are kept when popped so that their edge buffers are reused.
    std::vector<Frame> stack_;
    std::size_t depth_ = 0;
};

bool DiagramBuilder::try_resolve(const std::uint64_t group, const Weight capacity, ChildCode& code) const {
    if (group == groups_.size() || capacity >= suffix_[group]) {
        code = kTrue;
        return true;
    }
    const ChildCode* found = memo_.find(StateKey{group, capacity});
    if (found == nullptr) return false;
    code = *found;
    return true;
}

void DiagramBuilder::push_frame(const std::uint64_t group, const Weight capacity) {
    if (depth_ == stack_.size()) stack_.emplace_back();
    Frame& frame = stack_[depth_++];
    frame.group = group;
    frame.capacity = capacity;
    frame.next = 0;
    frame.else_child = kTrue;
    frame.edges.clear();
}

void DiagramBuilder::deliver(const ChildCode code) {
    Frame& frame = stack_[depth_ - 1];
    if (frame.next == 0)
        frame.else_child = code;
    else
        frame.edges.push_back(Edge{groups_[frame.group][frame.next - 1], code});
    ++frame.next;
}

ChildCode DiagramBuilder::finish_top_frame() {
    const Frame& frame = stack_[--depth_];
    const auto index = static_cast<ChildCode>(nodes_.size());
    const std::size_t first_edge = edges_.size();
    literals_ += frame.else_child == kTrue ? 0 : 2;
    for (const Edge& edge : frame.edges) literals_ += edge.child == kTrue ? 0 : edge.child == kFalse ? 2 : 3;
    if (literals_ > room_) throw_encoding_too_large(sink_.max_literals());
    poll_.tick();
    edges_.insert(edges_.end(), frame.edges.begin(), frame.edges.end());
    nodes_.push_back(DiagramNode{vars_.fresh(), frame.else_child, first_edge, edges_.size()});
    memo_.insert(StateKey{frame.group, frame.capacity}, index);
    return index;
}

ChildCode DiagramBuilder::build(const Weight bound) {
    ChildCode code;
    if (try_resolve(0, bound, code)) return code;
    // Four bytes an entry: at most the memory of the literal budget, and
    // never more than 64 MiB.
    memo_.prepare(suffix_, bound, std::min<std::uint64_t>(std::uint64_t{1} << 24, room_));
    push_frame(0, bound);
    while (true) {
        Frame& frame = stack_[depth_ - 1];
        const std::vector<Lit>& group = groups_[frame.group];
        if (frame.next > group.size()) {
            const ChildCode finished = finish_top_frame();
            if (depth_ == 0) return finished;
            deliver(finished);
            continue;
        }
        Weight remaining = frame.capacity;
        if (frame.next > 0) {
            const Weight w = weights_.row(frame.group)[frame.next - 1];
            if (remaining < w) {
                deliver(kFalse);
                continue;
            }
            remaining -= w;
        }
        if (try_resolve(frame.group + 1, remaining, code))
            deliver(code);
        else
            push_frame(frame.group + 1, remaining);  // invalidates `frame`
    }
}

void add_diagram_clauses(const DiagramBuilder& diagram, const ChildCode root, ClauseSink& cnf) {
    const std::vector<DiagramNode>& nodes = diagram.nodes();
    const std::vector<Edge>& edges = diagram.edges();
    // Sized once: the clause list would otherwise be copied on every growth.
    std::size_t clauses = root >= 0 ? 1 : 0;
    std::size_t literals = clauses;
    for (const DiagramNode& node : nodes) {
        if (node.else_child >= 0) {
            ++clauses;
            literals += 2;
        }
        for (std::size_t e = node.first_edge; e < node.end_edge; ++e) {
            if (edges[e].child == kTrue) continue;
            ++clauses;
            literals += edges[e].child == kFalse ? 2 : 3;
        }
    }
    if (cnf.counting_only()) return cnf.count(clauses, literals);
    cnf.require_room(literals);
    cnf.reserve(clauses, literals);

    if (root >= 0) cnf.add_clause({-nodes[static_cast<std::size_t>(root)].variable});
    for (const DiagramNode& node : nodes) {
        const Lit v = node.variable;
        if (node.else_child >= 0) cnf.add_clause({-nodes[static_cast<std::size_t>(node.else_child)].variable, v});
        for (std::size_t e = node.first_edge; e < node.end_edge; ++e) {
            const Edge& edge = edges[e];
            if (edge.child == kTrue) continue;
            if (edge.child == kFalse)
                cnf.add_clause({-edge.lit, v});
            else
                cnf.add_clause({-nodes[static_cast<std::size_t>(edge.child)].variable, -edge.lit, v});
        }
    }
}

}  // namespace

// The diagram's size without building it, level by level over bitsets of the
// remaining capacities: level i holds exactly the capacities r < suffix[i]
// that some path of nodes reaches, and each node's clauses depend only on r
// (an edge of weight w goes to FALSE when w > r, to TRUE when r - w reaches
// the next suffix capacity, else to a node). One pass per edge shifts the
// level's bitset, 64 capacities a word, where the construction probes the
// memo once per edge of every node.
//
// The bitset may be narrower than the capacities: it then covers a window,
// the `width` largest capacities that level i can hold (up to min(bound,
// suffix[i] - 1)), and a level keeps only the nodes that the window's nodes
// of the level above reach inside its own window. Every node it keeps is a
// true node of the diagram and is counted with its exact clauses, so the
// count is a lower bound on the diagram's size, exact when the window holds
// every capacity up to the bound. The windows only move down from level to
// level (their tops do), so an edge of weight w moves a bit by w less the
// window's move, which may be a shift up. Where the partial sums are dense,
// as with many groups of large weights, the top window holds nearly every
// node of its level.
class LevelCounter {
public:
    LevelCounter(const Weight bound, const std::size_t words)
        : words_(std::min<std::size_t>(words, static_cast<std::size_t>(bound / 64 + 1))),
          width_(Capacity{words_} * 64) {}

    // The number of word operations an exact count costs, saturated at 2^64 - 1.
    static std::uint64_t cost(const GroupWeights& weights, const Weight bound) {
        const unsigned __int128 ops = static_cast<unsigned __int128>(bound / 64 + 1) * edges(weights);
        return ops > ~std::uint64_t{0} ? ~std::uint64_t{0} : static_cast<std::uint64_t>(ops);
    }
    // The outgoing edges of all levels (an else edge per level and one per
    // literal): a count costs this many word operations per bitset word.
    static std::uint64_t edges(const GroupWeights& weights) {
        return weights.weights.size() + weights.row_begin.size();
    }

    // The size of the nodes in the windows; it stops after the first level
    // at which the literals pass `room`, which is then all it reports.
    EncodingSize count(const GroupWeights& weights, const std::vector<Capacity>& suffix, const Weight bound,
                       const std::uint64_t room, const ClauseSink& sink) {
        EncodingSize size{};
        if (suffix.size() == 1 || bound >= suffix[0]) return size;
        std::vector<std::uint64_t> level(words_, 0), next(words_, 0);
        std::vector<std::uint64_t> below(words_ + 1, 0);  // set capacities below 64 k
        Capacity base = base_of(suffix, 0, bound);
        const auto start = static_cast<std::uint64_t>(Capacity{bound} - base);
        level[start / 64] = std::uint64_t{1} << (start % 64);
        size = {0, 1, 1};  // the root's unit clause
        PollCounter poll(sink, 64);
        for (std::size_t i = 0; i + 1 < suffix.size(); ++i) {
            for (std::size_t k = 0; k < words_; ++k)
                below[k + 1] = below[k] + static_cast<std::uint64_t>(std::popcount(level[k]));
            const auto nodes_below = [&](const Capacity r) -> std::uint64_t {
                if (r <= base) return 0;
                if (r - base >= width_) return below[words_];
                const auto v = static_cast<std::uint64_t>(r - base);
                const std::uint64_t partial = level[v / 64] & ((std::uint64_t{1} << (v % 64)) - 1);
                return below[v / 64] + static_cast<std::uint64_t>(std::popcount(partial));
            };
            const Capacity next_suffix = suffix[i + 1];
            // The else edge keeps r; an edge of weight w goes to FALSE for
            // r < w, to a node for w <= r < w + next_suffix, else to TRUE.
            const std::uint64_t else_to_node = nodes_below(next_suffix);
            std::uint64_t to_false = 0;
            std::uint64_t to_node = 0;
            for (const Weight* w = weights.row(i); w != weights.row(i + 1); ++w) {
                const std::uint64_t under = nodes_below(*w);
                to_false += under;
                to_node += nodes_below(Capacity{*w} + next_suffix) - under;
            }
            size.variables += static_cast<std::int64_t>(below[words_]);
            size.clauses += else_to_node + to_false + to_node;
            size.literals += 2 * else_to_node + 2 * to_false + 3 * to_node;
            if (size.literals > room || i + 2 == suffix.size()) break;
            // Level i + 1: the capacities r - w inside its window, which
            // keeps them below its suffix capacity.
            const Capacity next_base = base_of(suffix, i + 1, bound);
            const Capacity move = base - next_base;
            std::fill(next.begin(), next.end(), 0);
            shift_into(level, 0, move, next);
            for (const Weight* w = weights.row(i); w != weights.row(i + 1); ++w) {
                shift_into(level, *w, move, next);
                poll.tick();
            }
            const auto keep = static_cast<std::uint64_t>(top_of(suffix, i + 1, bound) - next_base) + 1;
            if (keep < width_) {
                for (std::size_t k = keep / 64 + 1; k < words_; ++k) next[k] = 0;
                next[keep / 64] &= (std::uint64_t{1} << (keep % 64)) - 1;
            }
            level.swap(next);
            base = next_base;
        }
        return size;
    }

private:
    // The largest capacity a node of level i can have, and its window's lowest.
    static Capacity top_of(const std::vector<Capacity>& suffix, const std::size_t i, const Weight bound) {
        return std::min(Capacity{bound}, suffix[i] - 1);
    }
    Capacity base_of(const std::vector<Capacity>& suffix, const std::size_t i, const Weight bound) const {
        const Capacity top = top_of(suffix, i, bound);
        return top >= width_ ? top - width_ + 1 : 0;
    }

    // next |= level shifted down by w - move (up when negative), the bits
    // leaving the window dropped.
    void shift_into(const std::vector<std::uint64_t>& level, const Weight w, const Capacity move,
                    std::vector<std::uint64_t>& next) const {
        if (Capacity{w} >= move) {
            const Capacity down = Capacity{w} - move;
            if (down >= width_) return;
            const auto q = static_cast<std::size_t>(down / 64);
            const unsigned b = static_cast<unsigned>(down % 64);
            for (std::size_t k = 0; k + q < words_; ++k) {
                std::uint64_t word = level[k + q] >> b;
                if (b != 0 && k + q + 1 < words_) word |= level[k + q + 1] << (64 - b);
                next[k] |= word;
            }
            return;
        }
        const Capacity up = move - Capacity{w};
        if (up >= width_) return;
        const auto q = static_cast<std::size_t>(up / 64);
        const unsigned b = static_cast<unsigned>(up % 64);
        for (std::size_t k = words_; k-- > q;) {
            std::uint64_t word = level[k - q] << b;
            if (b != 0 && k > q) word |= level[k - q - 1] >> (64 - b);
            next[k] |= word;
        }
    }

    std::size_t words_;
    Capacity width_;
};

// An upper bound on the diagram's literals, from the nodes each level can
// hold at most: no more than its paths from the root (the product of the
// branch counts above it) and than its capacities up to min(bound,
// suffix[i] - 1), each node with at most 2 + 3 k literals for a group of k
// literals. Saturates at 2^64 - 1.
std::uint64_t literals_at_most(const GroupWeights& weights, const std::vector<Capacity>& suffix, const Weight bound) {
    if (suffix.size() == 1 || bound >= suffix[0]) return 0;
    constexpr Capacity kSaturated = ~std::uint64_t{0};
    Capacity paths = 1;
    Capacity literals = 1;
    for (std::size_t i = 0; i + 1 < suffix.size() && literals < kSaturated; ++i) {
        const std::size_t k = weights.row_begin[i + 1] - weights.row_begin[i];
        const Capacity nodes = std::min(paths, std::min(Capacity{bound}, suffix[i] - 1) + 1);
        literals += nodes * (2 + 3 * Capacity{k});
        paths = std::min(kSaturated, paths * (k + 1));
    }
    return static_cast<std::uint64_t>(std::min(literals, kSaturated));
}

// Whether the diagram surely needs more than `room` literals, from a sample
// of its nodes: level by level it follows at most one node per bucket of
// 2^shift capacities (the smallest capacity seen in the bucket), so every
// sampled node is a true node and their clauses, each counted exactly, bound
// the diagram's literals from below. The sample costs at most `buckets`
// nodes a level, against the construction's every node, and is decisive
// when the diagram is many times the room, as when it competes in a trial
// against a much smaller encoding.
bool surely_larger_than(const GroupWeights& weights, const std::vector<Capacity>& suffix, const Weight bound,
                        const std::uint64_t room, const std::uint64_t buckets, const ClauseSink& sink) {
    if (suffix.size() == 1 || bound >= suffix[0]) return false;
    unsigned shift = 0;
    while ((bound >> shift) >= buckets) ++shift;
    std::vector<std::uint32_t> stamp(static_cast<std::size_t>((bound >> shift) + 1), 0);
    std::vector<std::size_t> slot_of(stamp.size(), 0);
    std::vector<Weight> level{bound}, next;
    std::uint64_t literals = 1;  // the root's unit clause
    PollCounter poll(sink, 64);
    for (std::size_t i = 0; i + 1 < suffix.size() && !level.empty(); ++i) {
        const Capacity next_suffix = suffix[i + 1];
        const auto stamp_now = static_cast<std::uint32_t>(i + 1);
        next.clear();
        const auto sample = [&](const Weight r) {
            const auto b = static_cast<std::size_t>(r >> shift);
            if (stamp[b] != stamp_now) {
                stamp[b] = stamp_now;
                slot_of[b] = next.size();
                next.push_back(r);
            } else if (r < next[slot_of[b]]) {
                next[slot_of[b]] = r;
            }
        };
        for (const Weight r : level) {
            if (r < next_suffix) {
                literals += 2;
                sample(r);
            }
            for (const Weight* w = weights.row(i); w != weights.row(i + 1); ++w) {
                if (*w > r) {
                    literals += 2;
                } else if (r - *w < next_suffix) {
                    literals += 3;
                    sample(r - *w);
                }
            }
            if (literals > room) return true;
        }
        poll.tick();
        level.swap(next);
    }
    return false;
}

// The word operations that a lower-bound count before a construction may
// take: a small share of the budget's construction, at most 2^27 (a tenth
// of a second or so), at least enough for a narrow window.
std::uint64_t window_work(const std::uint64_t room) {
    return std::clamp<std::uint64_t>(room / 8, std::uint64_t{1} << 16, std::uint64_t{1} << 27);
}

// The widest bitset of a count: four arrays of 32 MiB.
constexpr std::uint64_t kMaxCountWords = std::uint64_t{1} << 22;

std::uint64_t mdd_window_literals(const GroupedLeqConstraint& constraint, const std::size_t words,
                                  const std::uint64_t room) {
    const GroupWeights weights = group_weight_rows(constraint, validated_group_weights(constraint));
    const std::vector<Capacity> suffix = suffix_capacities(weights);
    const EncodeOptions options;
    const ClauseSink sink(nullptr, options);
    return LevelCounter(constraint.bound, words).count(weights, suffix, constraint.bound, room, sink).literals;
}

void MddEncoder::build(const GroupedLeqConstraint& constraint, Encoding& encoding) const {
    const GroupWeights weights = group_weight_rows(constraint, std::move(encoding.group_weights));
    std::vector<Capacity> suffix = suffix_capacities(weights);
    const ClauseSink& sink = encoding.sink;
    const std::uint64_t room = sink.max_literals() - std::min(sink.max_literals(), sink.num_literals());
    if (sink.counting_only()) {
        // Counting costs one word operation per 64 capacities per edge, the
        // construction a memo probe per edge of every node: count when that
        // is cheap against the budget, which bounds the construction.
        const std::uint64_t cost = LevelCounter::cost(weights, constraint.bound);
        if (cost <= std::max<std::uint64_t>(std::uint64_t{1} << 16, sink.max_literals() / 4) &&
            constraint.bound / 64 < kMaxCountWords) {
            const auto words = static_cast<std::size_t>(constraint.bound / 64 + 1);
            const EncodingSize size =
                LevelCounter(constraint.bound, words).count(weights, suffix, constraint.bound, room, sink);
            encoding.sink.require_room(size.literals);
            encoding.vars.fresh_block(static_cast<std::uint64_t>(size.variables));
            return encoding.sink.count(size.clauses, size.literals);
        }
    }
    // Before the construction, which takes time and memory in proportion to
    // the diagram, refuse a diagram that surely passes the budget: when the
    // upper bound does not settle that it fits, a count over windows of
    // the levels gives a lower bound (true nodes with their exact clauses),
    // so the refusal never turns away a diagram that fits the budget.
    if (literals_at_most(weights, suffix, constraint.bound) > room) {
        if (sink.trial()) {
            const std::uint64_t edges = LevelCounter::edges(weights);
            const std::uint64_t buckets = std::clamp<std::uint64_t>(room / edges, 256, std::uint64_t{1} << 16);
            if (surely_larger_than(weights, suffix, constraint.bound, room, buckets, sink))
                throw_encoding_too_large(sink.max_literals());
        }
        const std::uint64_t words =
            std::clamp<std::uint64_t>(window_work(room) / LevelCounter::edges(weights), 1, kMaxCountWords);
        LevelCounter window(constraint.bound, static_cast<std::size_t>(words));
        if (window.count(weights, suffix, constraint.bound, room, sink).literals > room)
            throw_encoding_too_large(sink.max_literals());
    }
    DiagramBuilder diagram(constraint.groups, weights, std::move(suffix), encoding.vars, encoding.sink);
    const ChildCode root = diagram.build(constraint.bound);
    add_diagram_clauses(diagram, root, encoding.sink);
}

}  // namespace quillet
