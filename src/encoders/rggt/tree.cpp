// The tree shaping of the RGGT encoder and the intervals of its nodes; see
// tree.hpp for the rules.
//
// Shaping ranks pairs of value classes (subtrees with equal value sets)
// with a heap that holds only a few pairs per class: each class's row keeps
// its best pairs and a bound for the ones it left out, and is scanned again
// whenever that bound could beat the heap (see PairQueue). A scan meets
// every other class, but cheap lower bounds spare most of the exact
// combined sizes (set_sizes.hpp), each of which costs up to |a|·|b| work:
// among them the bound each partner keeps from the last scan that met it,
// which also holds for every set containing the scanner's (a node merged
// from it). At the
// start, leaves sharing no value but 0 are not compared at all until their
// union-size bound reaches the top of the heap. Memory grows with the number
// of classes, not their square; a growing node still meets every class once
// per merge, but at a few instructions each (10,000 all-different leaves:
// about a second). Intervals are found top-down, one sweep per child over
// the cut points of the sibling's values.

#include "encoders/rggt/tree.hpp"

#include <array>
#include <string>
#include <unordered_map>

#include "core/encoding.hpp"
#include "quillet/errors.hpp"
#include "encoders/rggt/set_sizes.hpp"
#include "encoders/rggt/size_bound.hpp"

namespace quillet::rggt {

void WorkMeter::give_up() const {
    throw EncoderLimit("quillet: rggt: shaping the tree would take more than " + std::to_string(limit) +
                       " steps of value-set arithmetic");
}

namespace {

// A scan whose row is full skips the finer lower bounds for pairs of at most
// this many sums: their exact size costs less.
constexpr std::size_t kTinySums = 16;
// Sets of at most this many values get the merged-list shift bound.
constexpr std::size_t kMergeUnion = 16;
// A partner of at most this many non-zero values gets a shift bound per
// value, the larger ones first; a larger one only for its largest.
constexpr std::size_t kShiftTries = 4;
constexpr std::uint32_t kNoNode = ~std::uint32_t{0};

// Subtrees with equal value sets are interchangeable when pairs are ranked:
// a pair's combined size and size product depend only on the two sets. So
// the subtrees still to be merged are kept in classes of equal value sets,
// each holding its members in the order in which they joined the active
// list. Node indices grow in that order too, and removals keep it, so
// comparing index pairs compares list positions; the earliest pair of two
// classes joins their first members (the first two within one class).
// Merges only ever take first members, so a class is a queue.
template <class Value>
struct ValueClass {
    SetSummary<Value> set;
    std::vector<std::uint32_t> members;  // members[head..] are still active
    std::size_t head = 0;
    std::uint32_t epoch = 0;       // bumped when the class gains a first member
    std::uint32_t pair_epoch = 0;  // bumped when it gains a second one
    std::uint32_t active_at = 0;   // position in the list of active classes
    // A lower bound on the combined size of this set with the set of class
    // `known_by`, left by that class's last scan. It also bounds the pairs of
    // any class whose set holds that one, such as a node merged from it.
    std::uint32_t known_by = ~std::uint32_t{0};
    std::uint64_t known_size = 0;
    // The row ranked only the partners after it that share a value (see
    // PairQueue::start); its first full scan need not go further back.
    bool partial_row = false;

    static ValueClass of(const std::vector<Value>& vals) {
        ValueClass cls;
        cls.set = SetSummary<Value>::of(vals);
        return cls;
    }

    std::size_t size() const { return members.size() - head; }
    std::uint32_t member(const std::size_t k) const { return members[head + k]; }
};

// The rank of a pair: smaller combined/product ratio first (compared exactly
// by cross-multiplication), then the smaller combined set, then the earlier
// pair of the active list. A key whose combined size is only a lower bound
// ranks no later than the exact one.
struct PairKey {
    std::uint64_t combined;  // size of the merged value set
    std::uint64_t product;   // product of the two value set sizes
    std::uint32_t first;
    std::uint32_t second;
};

// Whether a pair of this combined size and size product ranks after `key`
// whatever its position: by a worse ratio, or the same ratio and a larger
// combined set.
bool ranks_after(const std::uint64_t combined, const std::uint64_t product, const PairKey& key) {
    const Wide lhs = Wide{combined} * key.product;
    const Wide rhs = Wide{key.combined} * product;
    if (lhs != rhs) return lhs > rhs;
    return combined > key.combined;
}

bool better_key(const PairKey& x, const PairKey& y) {
    const Wide lhs = Wide{x.combined} * y.product;
    const Wide rhs = Wide{y.combined} * x.product;
    if (lhs != rhs) return lhs < rhs;
    if (x.combined != y.combined) return x.combined < y.combined;
    return std::pair(x.first, x.second) < std::pair(y.first, y.second);
}

constexpr PairKey kNoKey{1, 0, ~std::uint32_t{0}, ~std::uint32_t{0}};  // ratio 1/0: after every real key

// A ranked pair of classes, left <= right, with the class epochs it is
// valid for.
struct PairCandidate {
    PairKey key;
    std::uint32_t left_class;
    std::uint32_t right_class;
    std::uint32_t left_epoch;
    std::uint32_t right_epoch;
};

bool worse_candidate(const PairCandidate& x, const PairCandidate& y) { return better_key(y.key, x.key); }

// A row's bound: every pair of its class that is not in the heap ranks at
// or after `key`.
struct RowBound {
    PairKey key;
    std::uint32_t cls;
    std::uint32_t version;
};

bool worse_bound(const RowBound& x, const RowBound& y) { return better_key(y.key, x.key); }

template <class Value>
struct ValsHash {
    std::size_t operator()(const std::vector<Value>* vals) const {
        std::uint64_t h = 0xcbf29ce484222325ULL ^ vals->size();
        for (const Value v : *vals) {
            h = (h ^ static_cast<std::uint64_t>(v)) * 0x100000001b3ULL;
            if constexpr (sizeof(Value) > 8) h = (h ^ static_cast<std::uint64_t>(v >> 64)) * 0x100000001b3ULL;
        }
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

template <class Value>
struct ValsEqual {
    bool operator()(const std::vector<Value>* x, const std::vector<Value>* y) const { return *x == *y; }
};

// The candidate heap of one tree build, without ranking every pair of
// classes up front. Each class keeps a row: a scan of its partners puts the
// `row_entries` best pairs into the heap and records as the row's bound the
// best key among the pairs it left out. A pair outside the heap was left out
// by a row whose bound it does not beat, so the best heap entry is the best
// pair overall unless some row's bound beats it; that row is then scanned
// again, over every partner, which only raises its bound. A new class scans
// its row at once. Keys only move later while a tree is built (a class's
// first member can only be replaced by a later one), so a stale heap entry
// or bound is still a lower bound: entries are re-ranked when they reach the
// top and dropped once their classes can no longer pair or have since been
// refilled (the refill scans a fresh row).
template <class Value>
class PairQueue {
public:
    // `nodes` bounds the number of nodes and so of classes.
    PairQueue(const Value cap, const ClauseSink* sink, const std::size_t row_entries, const std::size_t nodes,
              WorkMeter& work)
        : cap_(cap), sink_(sink), row_entries_(std::max<std::size_t>(row_entries, 1)), work_(work),
          sizes_(cap, work) {
        classes_.reserve(nodes);
        versions_.reserve(nodes);
        active_.reserve(nodes);
        node_class_.reserve(nodes);
        class_of_.reserve(nodes);
    }

    // Puts node `index` (the newest node) into the class of its values. With
    // `scan` false the pairs it makes possible are left for start(). A merged
    // node names its children, whose sets its own set holds.
    void add(const std::vector<Value>& vals, const std::uint32_t index, const bool scan = true,
             const std::uint32_t left_child = kNoNode, const std::uint32_t right_child = kNoNode) {
        const auto [found, inserted] = class_of_.try_emplace(&vals, static_cast<std::uint32_t>(classes_.size()));
        if (inserted) {
            classes_.push_back(ValueClass<Value>::of(vals));
            versions_.push_back(0);
        }
        const std::uint32_t id = found->second;
        if (node_class_.size() <= index) node_class_.resize(index + 1, kNoNode);
        node_class_[index] = id;
        ValueClass<Value>& cls = classes_[id];
        cls.members.push_back(index);
        if (cls.size() == 1) {
            ++cls.epoch;
            cls.partial_row = false;
            cls.active_at = static_cast<std::uint32_t>(active_.size());
            active_.push_back(id);
            if (scan) {
                subsets_ = {left_child == kNoNode ? kNoNode : node_class_[left_child],
                            right_child == kNoNode ? kNoNode : node_class_[right_child]};
                scan_row(id, 0);
                subsets_ = {kNoNode, kNoNode};
            }
        } else if (cls.size() == 2) {
            ++cls.pair_epoch;
            if (scan) push_candidate(id, id);
        }
    }

    // Ranks the pairs of the classes added without a scan: each row scans
    // the partners after it, so every pair is seen once.
    //
    // Most pairs of two sets sharing no value but 0 are left unranked: their
    // union alone has |A| + |B| - 1 values, so with M the largest set size
    // the ratio is at least (|A| + M - 1) / (|A|·M), and that key becomes the
    // row's bound. The row ranks only its partners that share a value, found
    // in a list of (value, position) entries; a row with too many of them
    // scans in full. A pair left out this way is ranked when the bound
    // reaches the top of the heap and the row is scanned again, so leaves
    // that never could merge with each other before the tree has grown past
    // them are never compared.
    void start() {
        std::uint64_t largest_set = 0;
        std::vector<std::pair<Value, std::uint32_t>> holders;  // (non-zero value, position), sorted
        for (std::uint32_t at = 0; at < active_.size(); ++at) {
            if (!is_active(at)) continue;
            const ValueClass<Value>& cls = classes_[active_[at]];
            largest_set = std::max(largest_set, cls.set.count);
            for (const Value v : *cls.set.vals)
                if (v != 0) holders.emplace_back(v, at);
        }
        work_.add(holders.size());
        std::sort(holders.begin(), holders.end());
        std::vector<std::uint32_t> sharing;
        std::vector<std::uint32_t> seen(active_.size(), ~std::uint32_t{0});
        for (std::uint32_t at = 0; at < active_.size(); ++at) {
            const std::uint32_t id = active_[at];
            if (!is_active(at)) continue;
            if (classes_[id].size() >= 2) push_candidate(id, id);
            const ValueClass<Value>& cls = classes_[id];
            // Partners after `at` sharing a non-zero value, each once.
            sharing.clear();
            const std::size_t most = largest_set > 2 * cls.set.count ? 0 : (active_.size() - at) / 4;
            for (const Value v : *cls.set.vals) {
                if (v == 0) continue;
                auto it = std::lower_bound(holders.begin(), holders.end(), std::pair<Value, std::uint32_t>{v, at + 1});
                for (; it != holders.end() && it->first == v && sharing.size() <= most; ++it)
                    if (seen[it->second] != at) {
                        seen[it->second] = at;
                        sharing.push_back(it->second);
                    }
            }
            // Against much larger partners the bound says little, and the
            // row would soon be scanned anyway.
            if (sharing.size() > most || largest_set > 2 * cls.set.count) {
                scan_row(id, at + 1);
                continue;
            }
            std::sort(sharing.begin(), sharing.end());
            const PairKey disjoint{cls.set.count + largest_set - 1, cls.set.count * largest_set, cls.member(0),
                                   cls.member(0)};
            classes_[id].partial_row = true;
            scan_row(id, at + 1, &sharing, disjoint);
        }
    }

    // Removes and returns the best pair of nodes, first < second.
    std::pair<std::uint32_t, std::uint32_t> pop_best() {
        while (true) {
            if (!heap_.empty()) {
                PairCandidate top = heap_.front();
                const bool live = current(top);
                const auto [first, second] =
                    live ? earliest_pair(top.left_class, top.right_class) : std::pair<std::uint32_t, std::uint32_t>{};
                if (!live || first != top.key.first || second != top.key.second) {
                    std::pop_heap(heap_.begin(), heap_.end(), worse_candidate);
                    heap_.pop_back();
                    if (live) {
                        top.key.first = first;
                        top.key.second = second;
                        push(top);
                    }
                    continue;
                }
            }
            drop_stale_bounds();
            if (heap_.empty() || (!bounds_.empty() && better_key(bounds_.front().key, heap_.front().key))) {
                if (bounds_.empty()) throw InternalError("quillet: no pair left to merge");
                const std::uint32_t id = bounds_.front().cls;
                std::pop_heap(bounds_.begin(), bounds_.end(), worse_bound);
                bounds_.pop_back();
                ValueClass<Value>& cls = classes_[id];
                const std::uint32_t from = cls.partial_row ? cls.active_at + 1 : 0;
                cls.partial_row = false;
                scan_row(id, from);
                continue;
            }
            PairCandidate top = heap_.front();
            std::pop_heap(heap_.begin(), heap_.end(), worse_candidate);
            heap_.pop_back();
            const std::uint32_t first = top.key.first;
            const std::uint32_t second = top.key.second;
            take_first(top.left_class);
            take_first(top.right_class);
            if (current(top)) {
                const auto [next_first, next_second] = earliest_pair(top.left_class, top.right_class);
                top.key.first = next_first;
                top.key.second = next_second;
                push(top);
            }
            return {first, second};
        }
    }

    // Drops entries that can never become current again once they
    // outnumber the live ones by far.
    void compact() {
        if (heap_.size() <= 2 * compacted_size_ + 4096) return;
        std::erase_if(heap_, [&](const PairCandidate& c) { return !current(c); });
        std::make_heap(heap_.begin(), heap_.end(), worse_candidate);
        compacted_size_ = heap_.size();
    }

private:
    // The pairs of class `id` with the active classes from position `from`
    // on (and itself, when scanning everything): the best ones go to the
    // heap, the best key left out becomes the row's bound.
    // With `only`, just the partners at those positions (ascending, all at or
    // after `from`), and `bound` covering the pairs of the row left out.
    void scan_row(const std::uint32_t id, const std::uint32_t from, const std::vector<std::uint32_t>* only = nullptr,
                  PairKey bound = kNoKey) {
        if (sink_ != nullptr && ++scanned_rows_ % 256 == 0) sink_->poll();
        row_.clear();
        const auto worse_in_row = [](const PairCandidate& x, const PairCandidate& y) {
            return better_key(x.key, y.key);  // a max-heap: the worst kept entry on top
        };
        const auto keep = [&](const PairCandidate& c) {
            if (row_.size() < row_entries_) {
                row_.push_back(c);
                std::push_heap(row_.begin(), row_.end(), worse_in_row);
                return;
            }
            if (!better_key(c.key, row_.front().key)) {
                if (better_key(c.key, bound)) bound = c.key;
                return;
            }
            std::pop_heap(row_.begin(), row_.end(), worse_in_row);
            if (better_key(row_.back().key, bound)) bound = row_.back().key;
            row_.back() = c;
            std::push_heap(row_.begin(), row_.end(), worse_in_row);
        };
        // Whether a pair of this combined size (or a lower bound of it) stays
        // out of the full row, its key then feeding the row's bound. Most
        // pairs lose on the ratio alone, which needs no key.
        const auto left_out = [&](const std::uint32_t left, const std::uint32_t right, const std::uint64_t combined,
                                  const std::uint64_t product) {
            const PairKey& worst = row_.front().key;
            if (!ranks_after(combined, product, worst)) {
                const PairCandidate c = candidate(left, right, combined);
                if (better_key(c.key, worst)) return false;
                if (better_key(c.key, bound)) bound = c.key;
                return true;
            }
            if (!ranks_after(combined, product, bound)) {
                const PairCandidate c = candidate(left, right, combined);
                if (better_key(c.key, bound)) bound = c.key;
            }
            return true;
        };
        const bool shift_bound = sizes_.prepare_shift_bound(*classes_[id].set.vals);
        if (from == 0 && classes_[id].size() >= 2) keep(candidate(id, id, exact_combined(id, id)));
        const std::uint64_t own_size = classes_[id].set.count;
        const std::size_t visits = only != nullptr ? only->size() : active_.size() - from;
        for (std::size_t k = 0; k < visits; ++k) {
            const std::uint32_t at = only != nullptr ? (*only)[k] : from + static_cast<std::uint32_t>(k);
            const std::uint32_t other = active_[at];
            if (other == id || !is_active(at)) continue;
            const std::uint32_t left = std::min(id, other);
            const std::uint32_t right = std::max(id, other);
            ValueClass<Value>& partner = classes_[other];
            const std::uint64_t product = own_size * partner.set.count;
            if (row_.size() == row_entries_) {
                // Skip the exact size when even a lower bound cannot enter the row.
                std::uint64_t known = sizes_.lower_bound(classes_[left].set, classes_[right].set);
                if (partner.known_by == id || partner.known_by == subsets_[0] || partner.known_by == subsets_[1])
                    known = std::max(known, partner.known_size);
                if (left_out(left, right, known, product)) {
                    partner.known_by = id;
                    partner.known_size = known;
                    continue;
                }
                // For tiny sets the exact size costs less than the finer bound.
                if (product > kTinySums) {
                    const std::vector<Value>& x = *classes_[id].set.vals;
                    const std::vector<Value>& y = *partner.set.vals;
                    std::uint64_t finer_size = 0;
                    if (shift_bound) {
                        // X + m lies in the combined set for every m of Y: a tiny Y
                        // gives each of its values a try, the larger shifts first.
                        // Stops once the bound is out of the row.
                        const std::size_t tries = y.size() <= kShiftTries + 1 ? y.size() - 1 : 1;
                        for (std::size_t t = 0; t < tries; ++t) {
                            finer_size = std::max(finer_size, sizes_.shifted_union_size(x, y[y.size() - 1 - t]));
                            if (ranks_after(finer_size, product, row_.front().key)) break;
                        }
                    } else if (x.size() <= kMergeUnion) {
                        finer_size = sizes_.merged_union_size(x, y.back());
                    }
                    if (y.size() <= kMergeUnion) finer_size = std::max(finer_size, sizes_.merged_union_size(y, x.back()));
                    if (left_out(left, right, std::max(known, finer_size), product)) {
                        partner.known_by = id;
                        partner.known_size = std::max(known, finer_size);
                        continue;
                    }
                }
            }
            const std::uint64_t exact = exact_combined(left, right);
            partner.known_by = id;
            partner.known_size = exact;
            if (row_.size() == row_entries_ && left_out(left, right, exact, product)) continue;
            keep(candidate(left, right, exact));
        }
        for (const PairCandidate& c : row_) push(c);
        ++versions_[id];
        if (bound.product != 0) {
            bounds_.push_back(RowBound{bound, id, versions_[id]});
            std::push_heap(bounds_.begin(), bounds_.end(), worse_bound);
        }
    }

    void push_candidate(const std::uint32_t left, const std::uint32_t right) {
        push(candidate(left, right, exact_combined(left, right)));
    }

    void push(const PairCandidate& c) {
        heap_.push_back(c);
        std::push_heap(heap_.begin(), heap_.end(), worse_candidate);
    }

    PairCandidate candidate(const std::uint32_t left, const std::uint32_t right, const std::uint64_t combined) const {
        const ValueClass<Value>& a = classes_[left];
        const ValueClass<Value>& b = classes_[right];
        const auto [first, second] = earliest_pair(left, right);
        const std::uint32_t right_epoch = left == right ? b.pair_epoch : b.epoch;
        return PairCandidate{PairKey{combined, std::uint64_t{b.set.vals->size()} * a.set.vals->size(), first, second}, left,
                             right, a.epoch, right_epoch};
    }

    std::uint64_t exact_combined(const std::uint32_t left, const std::uint32_t right) {
        return sizes_.exact(classes_[left].set, classes_[right].set);
    }

    void drop_stale_bounds() {
        while (!bounds_.empty()) {
            const RowBound& b = bounds_.front();
            if (b.version == versions_[b.cls] && classes_[b.cls].size() > 0) return;
            std::pop_heap(bounds_.begin(), bounds_.end(), worse_bound);
            bounds_.pop_back();
        }
    }

    // Whether the entry at `at` of the active list still stands for a
    // non-empty class (a refilled class has a later entry instead).
    bool is_active(const std::size_t at) const {
        const ValueClass<Value>& cls = classes_[active_[at]];
        return cls.size() > 0 && cls.active_at == at;
    }

    bool current(const PairCandidate& c) const {
        const ValueClass<Value>& a = classes_[c.left_class];
        const ValueClass<Value>& b = classes_[c.right_class];
        if (c.left_class == c.right_class) return a.size() >= 2 && c.right_epoch == a.pair_epoch;
        return a.size() > 0 && b.size() > 0 && c.left_epoch == a.epoch && c.right_epoch == b.epoch;
    }

    std::pair<std::uint32_t, std::uint32_t> earliest_pair(const std::uint32_t left, const std::uint32_t right) const {
        const ValueClass<Value>& a = classes_[left];
        if (left == right) return {a.member(0), a.member(1)};
        const std::uint32_t x = a.member(0);
        const std::uint32_t y = classes_[right].member(0);
        return {std::min(x, y), std::max(x, y)};
    }

    void take_first(const std::uint32_t id) {
        ValueClass<Value>& cls = classes_[id];
        ++cls.head;
        if (cls.size() == 0 && ++inactive_ > active_.size() / 2 + 64) {
            std::size_t kept = 0;
            for (std::size_t at = 0; at < active_.size(); ++at) {
                if (!is_active(at)) continue;
                classes_[active_[at]].active_at = static_cast<std::uint32_t>(kept);
                active_[kept++] = active_[at];
            }
            active_.resize(kept);
            inactive_ = 0;
        }
        if (cls.head * 2 > cls.members.size()) {
            cls.members.erase(cls.members.begin(), cls.members.begin() + static_cast<std::ptrdiff_t>(cls.head));
            cls.head = 0;
        }
    }


    Value cap_;
    const ClauseSink* sink_;
    std::size_t row_entries_;
    WorkMeter& work_;
    SetSizer<Value> sizes_;
    std::vector<ValueClass<Value>> classes_;
    std::vector<std::uint32_t> versions_;  // per class: the scan its current bound belongs to
    // The classes in the order in which they gained their first member, so
    // that a row meets partners roughly by their first node and the lower
    // bounds of ties cut the scan short; emptied entries are skipped and
    // dropped in batches.
    std::vector<std::uint32_t> active_;
    std::size_t inactive_ = 0;
    std::unordered_map<const std::vector<Value>*, std::uint32_t, ValsHash<Value>, ValsEqual<Value>> class_of_;
    std::vector<PairCandidate> heap_;
    std::vector<RowBound> bounds_;
    std::vector<PairCandidate> row_;
    std::size_t compacted_size_ = 0;
    std::uint64_t scanned_rows_ = 0;
    std::vector<std::uint32_t> node_class_;  // per node index
    std::array<std::uint32_t, 2> subsets_{kNoNode, kNoNode};  // classes whose sets the scanning class's set holds
};

// When the lower bound of SizeBound starts: the values from which
// certification may take the work of kCertifyWork (leaf values times active
// subtrees) and the work all earlier tries may share, and the merges it
// counts: a size product of at least 1024 per active subtree, so that its
// greedy sums cost less than the combination, and at most 3 literals per
// pair of values that would come to at least 2^-10 of the room.
constexpr std::uint64_t kCertifyFromValues = std::uint64_t{1} << 20;
constexpr std::uint64_t kEarlyCertifyWork = std::uint64_t{1} << 18;
constexpr std::uint64_t kCertifyWork = std::uint64_t{1} << 26;
constexpr std::size_t kCountedProductPerSubtree = 1024;
constexpr unsigned kCountedShareOfRoom = 10;

template <class Value>
Node<Value>& append_node(NodeList<Value>& nodes) {
    nodes.push_back(std::make_unique<Node<Value>>());
    Node<Value>& node = *nodes.back();
    node.index = static_cast<std::uint32_t>(nodes.size() - 1);
    return node;
}

}  // namespace

template <class Value>
Node<Value>* build_min_ratio_tree(const GroupTerms& groups, NodeList<Value>& nodes, const Value cap,
                                  const ClauseSink* sink, const std::size_t row_entries, WorkMeter* meter) {
    if (groups.empty()) return nullptr;
    nodes.reserve(nodes.size() + 2 * groups.size() - 1);
    WorkMeter unmetered;
    WorkMeter& work = meter != nullptr ? *meter : unmetered;
    PairQueue<Value> queue(cap, sink, row_entries, 2 * groups.size() - 1, work);
    for (const std::vector<TermRef>& group : groups) {
        Node<Value>& leaf = append_node(nodes);
        leaf.is_leaf = true;
        leaf.terms = group;
        leaf.vals.reserve(group.size() + 1);
        leaf.vals.push_back(0);
        for (const TermRef& term : group) leaf.vals.push_back(capped(term.weight, cap));
        sort_unique(leaf.vals);
        queue.add(leaf.vals, leaf.index, false);
    }
    queue.start();
    // Value sets are the one part of the build that can outgrow the output
    // by far (a bound just below the largest sum keeps few intervals of huge
    // sets), so their total is held to the memory of the literal budget
    // plus a margin: past that the encoding is refused as too large. A trial
    // gets a margin of only four times the bar it must beat: value sets that
    // outgrow it almost always mean an output that does too, though the
    // reduction passes may still shrink it.
    std::uint64_t held_values = 0;
    for (const std::unique_ptr<Node<Value>>& leaf : nodes) held_values += leaf->vals.size();
    const std::uint64_t leaf_values = held_values;
    const std::uint64_t value_limit =
        sink == nullptr ? ~std::uint64_t{0}
                        : sink->max_literals() / (sizeof(Value) / sizeof(Lit)) +
                              (sink->trial() ? 4 * std::min(sink->max_literals(), std::uint64_t{1} << 18)
                                             : std::uint64_t{1} << 20);
    // Within the value limit, a tree that surely writes more literals than
    // the budget is refused as soon as the lower bound of SizeBound shows
    // it: the bound counts once the leaves are certified final, which is
    // tried as soon as the value sets outgrow the leaves (so that a tree of
    // all-different leaves, whose shaping is costly from the start, is
    // counted early) and again whenever they double; a trial has its own bar
    // and skips it.
    const bool bounded = sink != nullptr && !sink->trial() && nodes.size() == groups.size();
    const std::uint64_t size_bound_room =
        bounded ? sink->max_literals() - std::min(sink->max_literals(), sink->num_literals()) : ~std::uint64_t{0};
    SizeBound<Value> size_bound(cap, size_bound_room);
    // Certification is tried again whenever the values double (greedy sums
    // over fewer, larger subtrees find cuts that the leaves alone miss); the
    // tries before the values reach 1 Mi wait until they hold four times the
    // leaves' values and share a small allowance, so that trees that stay
    // small pay next to nothing for them.
    std::uint64_t certify_at = held_values;
    std::uint64_t early_room = kEarlyCertifyWork;
    std::vector<std::uint32_t> active(nodes.size());
    std::vector<std::uint32_t> active_at(2 * groups.size() - 1);
    for (std::uint32_t k = 0; k < active.size(); ++k) active[k] = active_at[k] = k;
    const auto deactivate = [&](const std::uint32_t index) {
        const std::uint32_t last = active.back();
        active[active_at[index]] = last;
        active_at[last] = active_at[index];
        active.pop_back();
    };
    CombineScratch<Value> scratch;
    std::uint32_t since_poll = 0;
    while (active.size() > 1) {
        if (sink != nullptr && ++since_poll == 64) {
            since_poll = 0;
            sink->poll();
        }
        if (bounded && !size_bound.certified() && held_values >= certify_at) {
            const std::uint64_t cost = leaf_values * active.size();
            const bool early = held_values < kCertifyFromValues;
            if (cost <= (early ? early_room : kCertifyWork) && (!early || held_values >= 4 * leaf_values)) {
                if (early) early_room -= cost;
                size_bound.certify(nodes, groups.size(), active, kCertifyWork, work);
            }
            certify_at *= 2;
        }
        const auto [first, second] = queue.pop_best();
        deactivate(first);
        deactivate(second);
        const std::size_t left_size = nodes[first]->vals.size();
        const std::size_t right_size = nodes[second]->vals.size();
        // A merge writes at most 3 literals per pair of values and 2 per
        // value: one that could add only a thousandth of the room is not
        // worth its count.
        const std::uint64_t most = 3 * std::uint64_t{left_size} * right_size + 2 * (left_size + right_size);
        if (size_bound.certified() && left_size * right_size >= kCountedProductPerSubtree * active.size() &&
            most >= (size_bound_room >> kCountedShareOfRoom) &&
            size_bound.count_merge(nodes, first, second, active, work))
            throw_encoding_too_large(sink->max_literals());
        Node<Value>& merged = append_node(nodes);
        merged.left = nodes[first].get();
        merged.right = nodes[second].get();
        work.add(combine_cost(merged.left->vals, merged.right->vals, cap));
        merged.vals = combine_vals(merged.left->vals, merged.right->vals, cap, scratch);
        held_values += merged.vals.size();
        if (held_values > value_limit) throw_encoding_too_large(sink->max_literals());
        queue.compact();
        queue.add(merged.vals, merged.index, true, first, second);
        active_at[merged.index] = static_cast<std::uint32_t>(active.size());
        active.push_back(merged.index);
    }
    Node<Value>& root = *nodes.back();
    root.is_root = true;
    return &root;
}

template <class Value>
void initialize_root_intervals(Node<Value>& root, const Value cap) {
    root.intervals.clear();
    Value below = 0;
    bool has_cap = false;
    for (const Value v : root.vals) {
        if (v < cap)
            below = v;
        else if (v == cap)
            has_cap = true;
    }
    root.intervals.push_back({0, below});
    if (has_cap) root.intervals.push_back({cap, cap});
}


namespace {

// The first index i >= at with !below(i), for a predicate that holds on a
// prefix of [at, end): doubling steps from `at`, then a binary search, so
// that the short moves of a sweep cost a comparison or two.
template <class Below>
std::size_t gallop(std::size_t at, const std::size_t end, Below below) {
    if (at == end || !below(at)) return at;
    std::size_t lo = at;  // below(lo) holds
    std::size_t hi = end;
    for (std::size_t step = 1;; step *= 2) {
        if (step >= end - lo) break;
        if (!below(lo + step)) {
            hi = lo + step;
            break;
        }
        lo += step;
    }
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        (below(mid) ? lo : hi) = mid;
    }
    return hi;
}

// The cut points of a child: adjacent child values a < b fall into
// different parent intervals for some sibling value s exactly when a parent
// interval start L > 0 has a + s < L <= b + s, that is when a cut point
// L - s lies in (a, b]. No start lies above the cap, so saturating the sums
// changes nothing. The entries are the sibling values, or the starts when
// those are fewer; each keeps its least cut point above some earlier child
// value, found by moving a position that only goes one way as the child
// values grow (per sibling value s the first start above a + s, per start L
// the largest sibling value below L - a). A test scans the entries until one
// cuts, refreshing the ones it passes; a scan that finds no cut also yields
// the least cut point ahead, and the tests of the child values below it
// then cost one comparison.
// The entries' storage, reused across the nodes of one tree.
template <class Value>
struct CutScratch {
    std::vector<std::size_t> at;
    std::vector<Value> cut;
};

template <class Value>
class CutPoints {
public:
    CutPoints(const std::vector<Interval<Value>>& parent, const std::vector<Value>& sibling, CutScratch<Value>& scratch)
        : parent_(parent),
          sibling_(sibling),
          by_sibling_value_(sibling.size() < parent.size()),
          at_(scratch.at),
          cut_(scratch.cut) {
        if (by_sibling_value_) {
            at_.assign(sibling.size(), 1);
            live_ = sibling.size();
        } else {
            at_.assign(parent.size(), sibling.size() - 1);
            live_ = parent.size();
        }
        cut_.assign(at_.size(), 0);  // every entry is refreshed when first met
    }

    // Whether a cut point lies in (a, b], for adjacent child values in
    // ascending order.
    bool separated(const Value a, const Value b) {
        if (quiet_ || b < ahead_) return false;
        bool found = false;
        Value least = 0;
        const std::size_t starts = parent_.size();
        if (by_sibling_value_) {
            std::size_t floor = 1;  // the positions ascend with the sibling value
            for (std::size_t t = 0; t < live_; ++t) {
                if (cut_[t] <= a) {
                    const Value s = sibling_[t];
                    std::size_t& at = at_[t];
                    at = gallop(std::max(at, floor), starts, [&](const std::size_t k) {
                        const Value start = parent_[k].lo;
                        return start <= s || start - s <= a;
                    });
                    if (at == starts) {  // and so for every larger sibling value
                        live_ = t;
                        break;
                    }
                    cut_[t] = parent_[at].lo - s;
                }
                if (cut_[t] <= b) return cut_at(b);
                floor = at_[t];
                if (!found || cut_[t] < least) least = cut_[t];
                found = true;
            }
        } else {
            const std::size_t values = sibling_.size();
            first_ = gallop(first_, starts, [&](const std::size_t k) { return parent_[k].lo <= a; });
            for (std::size_t k = first_; k < starts; ++k) {
                if (cut_[k] <= a) {
                    const Value room = parent_[k].lo - a;  // sibling values below it cut above a; 0 is one
                    std::size_t& at = at_[k];
                    const std::size_t from_top = gallop(values - 1 - at, values, [&](const std::size_t r) {
                        return sibling_[values - 1 - r] >= room;
                    });
                    if (from_top == values) continue;  // only when the sibling lacks 0
                    at = values - 1 - from_top;
                    cut_[k] = parent_[k].lo - sibling_[at];
                }
                if (cut_[k] <= b) return cut_at(b);
                if (!found || cut_[k] < least) least = cut_[k];
                found = true;
            }
        }
        quiet_ = !found;
        ahead_ = least;
        return false;
    }

private:
    bool cut_at(const Value b) {
        ahead_ = b;  // unknown beyond b: the next test scans
        return true;
    }

    const std::vector<Interval<Value>>& parent_;
    const std::vector<Value>& sibling_;
    bool by_sibling_value_;
    std::vector<std::size_t>& at_;
    std::vector<Value>& cut_;  // per entry its least cut point above the child value it was refreshed for
    std::size_t live_ = 0;    // by sibling value: the entries before it still have cut points
    std::size_t first_ = 1;   // by start: the starts from it on lie above the last child value
    Value ahead_ = 0;         // no cut point lies between the last child value and it
    bool quiet_ = false;      // no cut point lies above the last child value
};

template <class Value>
void merge_child_intervals(const Node<Value>& parent, Node<Value>& child, const Node<Value>& sibling, const Value cap,
                           CutScratch<Value>& scratch) {
    const std::vector<Value>& vals = child.vals;
    child.intervals.clear();
    if (vals.empty()) return;
    if (parent.intervals.empty() || sibling.vals.empty() ||
        saturating_sum(vals.back(), sibling.vals.back(), cap) > parent.intervals.back().hi)
        throw InternalError("quillet: interval lookup failed");
    CutPoints<Value> cuts(parent.intervals, sibling.vals, scratch);
    child.intervals.reserve(std::min<std::size_t>(vals.size(), 8));  // spares the first few regrowths
    child.intervals.push_back({vals.front(), vals.front()});
    for (std::size_t k = 1; k < vals.size(); ++k) {
        if (cuts.separated(vals[k - 1], vals[k]))
            child.intervals.push_back({vals[k], vals[k]});
        else
            child.intervals.back().hi = vals[k];
    }
}

}  // namespace

template <class Value>
void merge_adjacent_child_intervals(const Node<Value>& parent, Node<Value>& child, const Node<Value>& sibling,
                                    const Value cap) {
    CutScratch<Value> scratch;
    merge_child_intervals(parent, child, sibling, cap, scratch);
}

// Parents before children, with an explicit stack: the tree can be as deep
// as there are groups.
template <class Value>
void make_child_intervals(Node<Value>* node, const Value cap, const ClauseSink* sink) {
    std::vector<Node<Value>*> pending{node};
    CutScratch<Value> scratch;
    std::uint32_t since_poll = 0;
    while (!pending.empty()) {
        Node<Value>* const current = pending.back();
        pending.pop_back();
        if (current == nullptr || current->is_leaf) continue;
        if (sink != nullptr && ++since_poll == 64) {
            since_poll = 0;
            sink->poll();
        }
        merge_child_intervals(*current, *current->left, *current->right, cap, scratch);
        merge_child_intervals(*current, *current->right, *current->left, cap, scratch);
        pending.push_back(current->right);
        pending.push_back(current->left);
    }
}

template <class Value>
ClauseCount node_clause_count(const Node<Value>& node, const Value cap) {
    // A range gets a clause when its lower end passes `last_silent`.
    const Value last_silent = node.is_root ? cap - 1 : node.intervals.front().hi;
    const std::vector<Interval<Value>>& left = node.left->intervals;
    const std::vector<Interval<Value>>& right = node.right->intervals;
    ClauseCount count;
    // The first interval of a child starts at 0 and has no variable.
    for (const std::vector<Interval<Value>>* child : {&left, &right})
        for (std::size_t i = 1; i < child->size(); ++i)
            if ((*child)[i].lo > last_silent) ++count.clauses;
    count.literals = 2 * count.clauses;
    // For ascending left ends the first right interval whose sum passes
    // only moves down.
    std::uint64_t pairs = 0;
    std::size_t j = right.size();
    for (std::size_t i = 1; i < left.size(); ++i) {
        while (j > 1 && saturating_sum(left[i].lo, right[j - 1].lo, cap) > last_silent) --j;
        pairs += right.size() - j;
    }
    count.clauses += pairs;
    count.literals += 3 * pairs;
    return count;
}

// A leaf's terms ordered by capped weight, ties in term order, so that the
// terms linked to one interval value form a run in group order.
template <class Value>
std::vector<std::size_t> terms_by_weight(const Node<Value>& leaf, const Value cap) {
    std::vector<std::size_t> order(leaf.terms.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    const auto lighter = [&](const std::size_t x, const std::size_t y) {
        return capped(leaf.terms[x].weight, cap) < capped(leaf.terms[y].weight, cap);
    };
    if (order.size() > 16) {
        std::stable_sort(order.begin(), order.end(), lighter);
        return order;
    }
    // Insertion sort is stable and, for a small group, spares stable_sort's buffer.
    for (std::size_t i = 1; i < order.size(); ++i) {
        const std::size_t k = order[i];
        std::size_t j = i;
        for (; j > 0 && lighter(k, order[j - 1]); --j) order[j] = order[j - 1];
        order[j] = k;
    }
    return order;
}

template <class Value>
std::pair<std::size_t, std::size_t> terms_of_value(const Node<Value>& leaf, const std::vector<std::size_t>& order,
                                                   const Value value, const Value cap) {
    const auto weight_at = [&](const std::size_t k) { return capped(leaf.terms[k].weight, cap); };
    const auto first = std::lower_bound(order.begin(), order.end(), value,
                                        [&](const std::size_t k, const Value v) { return weight_at(k) < v; });
    const auto last = std::upper_bound(first, order.end(), value,
                                       [&](const Value v, const std::size_t k) { return v < weight_at(k); });
    if (first == last) throw InternalError("quillet: missing linked term for leaf interval");
    return {static_cast<std::size_t>(first - order.begin()), static_cast<std::size_t>(last - order.begin())};
}

#define QUILLET_RGGT_INSTANTIATE(Value)                                                                            \
    template Node<Value>* build_min_ratio_tree(const GroupTerms&, NodeList<Value>&, Value, const ClauseSink*,      \
                                               std::size_t, WorkMeter*);                                      \
    template void initialize_root_intervals(Node<Value>&, Value);                                                  \
    template void merge_adjacent_child_intervals(const Node<Value>&, Node<Value>&, const Node<Value>&, Value);     \
    template void make_child_intervals(Node<Value>*, Value, const ClauseSink*);                                    \
    template ClauseCount node_clause_count(const Node<Value>&, Value);                                             \
    template std::vector<std::size_t> terms_by_weight(const Node<Value>&, Value);                                  \
    template std::pair<std::size_t, std::size_t> terms_of_value(const Node<Value>&, const std::vector<std::size_t>&, \
                                                                Value, Value);

QUILLET_RGGT_INSTANTIATE(std::uint64_t)
QUILLET_RGGT_INSTANTIATE(Wide)

#undef QUILLET_RGGT_INSTANTIATE

}  // namespace quillet::rggt
