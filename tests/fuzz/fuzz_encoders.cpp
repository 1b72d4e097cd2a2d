// libFuzzer target: turns bytes into grouped at-most constraints, valid and
// invalid, and runs every encoder on them.
//
// Every call must either return a well-formed result or throw a standard
// exception whose message starts with "quillet: " (or an allocation error).
// An invalid constraint must be refused with exactly the message that
// validate() gives. For small valid constraints (at most 8 input variables)
// the clauses are checked against the meaning of the constraint: for every
// assignment of the input variables, a small DPLL solver must find the
// clauses satisfiable exactly when the AMO groups hold and the weights of the
// true literals sum to at most the bound (assignments breaking a group are
// judged only when the AMO clauses were asked for).

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "quillet/quillet.hpp"

namespace {

using quillet::Lit;
using quillet::Weight;
using Clauses = std::vector<std::vector<Lit>>;
using Wide = unsigned __int128;

constexpr Lit kMaxLit = 2147483647;
constexpr Weight kMaxWeight = ~Weight{0};

[[noreturn]] void fail(const std::string& encoder, const std::string& what) {
    std::fprintf(stderr, "\nFUZZ FAILURE (%s): %s\n", encoder.c_str(), what.c_str());
    std::abort();
}

std::string describe(const quillet::GroupedLeqConstraint& c, std::int32_t top_id) {
    std::string s = "terms [";
    for (const auto& t : c.terms) s += "(" + std::to_string(t.lit) + ", " + std::to_string(t.weight) + ") ";
    s += "] groups [";
    for (const auto& g : c.groups) {
        s += "[";
        for (const Lit l : g) s += std::to_string(l) + " ";
        s += "] ";
    }
    s += "] bound " + std::to_string(c.bound) + " top_id " + std::to_string(top_id) +
         (c.emit_amo ? " emit_amo" : "");
    return s;
}

struct Case {
    quillet::GroupedLeqConstraint constraint;
    std::int32_t top_id = 0;
    bool small = false;  // built valid, with at most 8 input variables
};

Weight weight_for(FuzzedDataProvider& in, const int mode) {
    switch (mode) {
        case 0: return in.ConsumeIntegralInRange<Weight>(1, 16);
        case 1: {
            static constexpr Weight factors[] = {2147483659ULL, 1000000000039ULL, (Weight{1} << 48) - 5,
                                                 (Weight{1} << 60) + 3};
            return in.ConsumeIntegralInRange<Weight>(1, 12) * in.PickValueInArray(factors);
        }
        case 2: return (Weight{1} << 63) + in.ConsumeIntegralInRange<Weight>(0, 6) - 3;
        default: return kMaxWeight - in.ConsumeIntegralInRange<Weight>(0, 5);
    }
}

Case small_valid_case(FuzzedDataProvider& in) {
    Case out;
    out.small = true;
    const int num_vars = in.ConsumeIntegralInRange(1, 8);
    std::vector<Lit> literals;
    for (Lit v = 1; v <= num_vars; ++v) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: literals.push_back(v); break;
            case 1: literals.push_back(-v); break;
            default:
                literals.push_back(v);
                if (literals.size() < 12) literals.push_back(-v);
        }
    }
    for (std::size_t i = literals.size(); i > 1; --i)
        std::swap(literals[i - 1], literals[in.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
    const int shape = in.ConsumeIntegralInRange(0, 3);
    for (std::size_t i = 0; i < literals.size(); ++i) {
        const bool open_new = out.constraint.groups.empty() || shape == 0 ||
                              (shape != 1 && in.ConsumeBool());
        if (open_new) out.constraint.groups.emplace_back();
        out.constraint.groups.back().push_back(literals[i]);
    }
    const int mode = in.ConsumeIntegralInRange(0, 5) < 3 ? 0 : in.ConsumeIntegralInRange(1, 3);
    const bool equal = in.ConsumeIntegralInRange(0, 4) == 0;
    const Weight common = weight_for(in, mode);
    std::vector<quillet::WeightedLiteral> terms;
    for (const Lit lit : literals) terms.push_back({lit, equal ? common : weight_for(in, mode)});
    for (std::size_t i = terms.size(); i > 1; --i)
        std::swap(terms[i - 1], terms[in.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
    out.constraint.terms = terms;

    Wide total = 0;
    Weight heaviest = 0;
    for (const auto& group : out.constraint.groups) {
        Weight best = 0;
        for (const Lit lit : group)
            for (const auto& t : terms)
                if (t.lit == lit) best = std::max(best, t.weight);
        total += best;
        heaviest = std::max(heaviest, best);
    }
    const Weight capped_total = total > kMaxWeight ? kMaxWeight : static_cast<Weight>(total);
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: out.constraint.bound = 0; break;
        case 1: out.constraint.bound = capped_total; break;
        case 2: out.constraint.bound = capped_total == 0 ? 0 : capped_total - 1; break;
        case 3: out.constraint.bound = capped_total == kMaxWeight ? kMaxWeight : capped_total + 1; break;
        case 4: out.constraint.bound = kMaxWeight - in.ConsumeIntegralInRange<Weight>(0, 1); break;
        case 5: out.constraint.bound = heaviest - 1; break;
        default: out.constraint.bound = in.ConsumeIntegralInRange<Weight>(0, capped_total);
    }
    out.constraint.emit_amo = in.ConsumeBool();
    out.top_id = num_vars + in.ConsumeIntegralInRange(0, 40);
    return out;
}

Lit any_literal(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: return 0;
        case 1: return kMaxLit - in.ConsumeIntegralInRange(0, 2);
        case 2: return -kMaxLit + in.ConsumeIntegralInRange(0, 2);
        case 3: return std::max(in.ConsumeIntegral<Lit>(), -kMaxLit);  // -2^31 has no magnitude
        default: return in.ConsumeIntegralInRange(-12, 12);
    }
}

Weight any_weight(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0: return in.ConsumeIntegralInRange<Weight>(0, 3);
        case 1: return in.ConsumeIntegral<Weight>();
        case 2: return kMaxWeight - in.ConsumeIntegralInRange<Weight>(0, 3);
        default: return in.ConsumeIntegralInRange<Weight>(1, 40);
    }
}

// Anything goes: literal 0, duplicates, empty groups, unknown and repeated
// group literals, huge weights and bounds, top ids near both ends.
Case raw_case(FuzzedDataProvider& in) {
    Case out;
    const int num_terms = in.ConsumeIntegralInRange(0, 20);
    for (int i = 0; i < num_terms; ++i) out.constraint.terms.push_back({any_literal(in), any_weight(in)});
    const int num_groups = in.ConsumeIntegralInRange(0, 12);
    for (int g = 0; g < num_groups; ++g) {
        std::vector<Lit> group;
        const int length = in.ConsumeIntegralInRange(0, 5);
        for (int k = 0; k < length; ++k) {
            if (!out.constraint.terms.empty() && in.ConsumeIntegralInRange(0, 7) != 0)
                group.push_back(out.constraint.terms[in.ConsumeIntegralInRange<std::size_t>(
                                                         0, out.constraint.terms.size() - 1)]
                                    .lit);
            else
                group.push_back(any_literal(in));
        }
        out.constraint.groups.push_back(std::move(group));
    }
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: out.constraint.bound = kMaxWeight - in.ConsumeIntegralInRange<Weight>(0, 3); break;
        case 1: out.constraint.bound = in.ConsumeIntegral<Weight>(); break;
        default: out.constraint.bound = in.ConsumeIntegralInRange<Weight>(0, 100);
    }
    out.constraint.emit_amo = in.ConsumeBool();
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: out.top_id = kMaxLit - in.ConsumeIntegralInRange(0, 64); break;
        case 1: out.top_id = in.ConsumeIntegral<std::int32_t>(); break;
        default: out.top_id = in.ConsumeIntegralInRange(-1, 30);
    }
    return out;
}

// A tiny complete solver for the semantic check: unit propagation to a fixed
// point plus chronological backtracking, false first (auxiliary variables
// are only ever forced true). Returns 1 (satisfiable), 0 or -1 (gave up).
class Dpll {
public:
    Dpll(const Clauses& clauses, const int num_vars) : clauses_(clauses), value_(num_vars + 1, 0) {}

    int solve(const std::vector<Lit>& assumptions) {
        std::fill(value_.begin(), value_.end(), 0);
        trail_.clear();
        budget_ = 2000;
        for (const Lit a : assumptions) {
            if (value_of(a) < 0) return 0;
            assign(a);
        }
        return search();
    }

private:
    int value_of(const Lit lit) const {
        const int v = value_[static_cast<std::size_t>(lit < 0 ? -lit : lit)];
        return lit < 0 ? -v : v;
    }
    void assign(const Lit lit) {
        value_[static_cast<std::size_t>(lit < 0 ? -lit : lit)] = static_cast<std::int8_t>(lit < 0 ? -1 : 1);
        trail_.push_back(lit);
    }
    void undo(const std::size_t size) {
        while (trail_.size() > size) {
            const Lit lit = trail_.back();
            value_[static_cast<std::size_t>(lit < 0 ? -lit : lit)] = 0;
            trail_.pop_back();
        }
    }
    bool propagate() {
        for (bool changed = true; changed;) {
            changed = false;
            for (const auto& clause : clauses_) {
                Lit open = 0;
                int open_count = 0;  // distinct unassigned literals, counted up to 2
                bool satisfied = false;
                for (const Lit lit : clause) {
                    const int v = value_of(lit);
                    if (v > 0) {
                        satisfied = true;
                        break;
                    }
                    if (v == 0 && open_count == 0) {
                        open = lit;
                        open_count = 1;
                    } else if (v == 0 && lit != open) {
                        open_count = 2;
                    }
                }
                if (satisfied) continue;
                if (open_count == 0) return false;
                if (open_count == 1) {
                    assign(open);
                    changed = true;
                }
            }
        }
        return true;
    }
    // Whether setting every unassigned variable false satisfies all clauses:
    // the usual way out, since auxiliary variables are only forced true.
    bool rest_false_satisfies() const {
        for (const auto& clause : clauses_) {
            bool satisfied = false;
            for (const Lit lit : clause) satisfied = satisfied || value_of(lit) > 0 || (value_of(lit) == 0 && lit < 0);
            if (!satisfied) return false;
        }
        return true;
    }
    int search() {
        if (--budget_ < 0) return -1;
        if (!propagate()) return 0;
        if (rest_false_satisfies()) return 1;
        Lit branch = 0;
        for (const auto& clause : clauses_) {
            bool satisfied = false;
            Lit open = 0;
            for (const Lit lit : clause) {
                const int v = value_of(lit);
                if (v > 0) satisfied = true;
                if (v == 0) open = lit;
            }
            if (!satisfied && open != 0) {
                branch = open < 0 ? -open : open;
                break;
            }
        }
        if (branch == 0) return 1;  // every clause satisfied
        for (const Lit choice : {-branch, branch}) {
            const std::size_t mark = trail_.size();
            assign(choice);
            const int result = search();
            if (result != 0) return result;
            undo(mark);
        }
        return 0;
    }

    const Clauses& clauses_;
    std::vector<std::int8_t> value_;
    std::vector<Lit> trail_;
    long budget_ = 0;
};

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string validation_message(const Case& c) {
    try {
        c.constraint.validate();
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    if (c.top_id < 0) return "quillet: top_id must be non-negative";
    for (const quillet::WeightedLiteral& term : c.constraint.terms)
        if (term.lit == INT32_MIN || (term.lit < 0 ? -term.lit : term.lit) > c.top_id)
            return "quillet: top_id must be at least the largest input variable";
    return "";
}

Lit magnitude(const Lit lit) { return lit < 0 ? -lit : lit; }

void check_result(const std::string& name, const Case& c, const quillet::EncodeResult& r) {
    const auto& k = c.constraint;
    const std::string where = describe(k, c.top_id);
    if (r.cnf.num_vars < c.top_id) fail(name, "top id below the caller's: " + where);
    if (r.num_aux_vars() != std::int64_t{r.cnf.num_vars} - c.top_id) fail(name, "num_aux_vars wrong: " + where);
    if (r.num_clauses() != r.cnf.clauses.size()) fail(name, "num_clauses wrong: " + where);
    Lit largest_input = 0;
    std::unordered_set<Lit> inputs;
    for (const auto& t : k.terms) {
        largest_input = std::max(largest_input, magnitude(t.lit));
        inputs.insert(magnitude(t.lit));
    }
    for (const auto clause : r.cnf.clauses)
        for (const Lit lit : clause) {
            if (lit == 0 || magnitude(lit) > r.cnf.num_vars) fail(name, "literal out of range: " + where);
            // with top_id at or above the inputs, a variable is an input or fresh
            if (c.top_id >= largest_input && magnitude(lit) <= c.top_id && !inputs.contains(magnitude(lit)))
                fail(name, "clause uses a variable neither input nor fresh: " + where);
        }
    if (k.emit_amo) {
        std::size_t index = 0;
        for (const auto& group : k.groups)
            for (std::size_t a = 0; a + 1 < group.size(); ++a)
                for (std::size_t b = a + 1; b < group.size(); ++b, ++index) {
                    if (index >= r.cnf.clauses.size()) fail(name, "AMO clauses missing: " + where);
                    const auto clause = r.cnf.clauses[index];
                    if (clause.size() != 2 || clause[0] != -group[a] || clause[1] != -group[b])
                        fail(name, "AMO clauses out of order: " + where);
                }
    }
}

void check_semantics(const std::string& name, const Case& c, const quillet::EncodeResult& r) {
    const auto& k = c.constraint;
    if (r.cnf.num_vars > 20000 || r.cnf.clauses.size() > 20000) return;
    const Clauses clauses = r.cnf.clauses.to_vectors();
    std::vector<Lit> vars;
    for (const auto& t : k.terms) vars.push_back(magnitude(t.lit));
    std::sort(vars.begin(), vars.end());
    vars.erase(std::unique(vars.begin(), vars.end()), vars.end());
    Dpll solver(clauses, r.cnf.num_vars);
    for (std::uint32_t mask = 0; mask < (1u << vars.size()); ++mask) {
        std::vector<Lit> assumptions;
        for (std::size_t i = 0; i < vars.size(); ++i) assumptions.push_back((mask >> i) & 1 ? vars[i] : -vars[i]);
        const auto holds = [&](const Lit lit) {
            const auto i = static_cast<std::size_t>(std::lower_bound(vars.begin(), vars.end(), magnitude(lit)) - vars.begin());
            return (((mask >> i) & 1) != 0) == (lit > 0);
        };
        bool amo = true;
        for (const auto& group : k.groups) {
            int count = 0;
            for (const Lit lit : group) count += holds(lit);
            amo = amo && count <= 1;
        }
        if (!amo && !k.emit_amo) continue;
        Wide sum = 0;
        for (const auto& t : k.terms)
            if (holds(t.lit)) sum += t.weight;
        const bool expected = amo && sum <= k.bound;
        const int got = solver.solve(assumptions);
        if (got < 0) return;
        if ((got == 1) != expected) {
            std::string a;
            for (const Lit lit : assumptions) a += std::to_string(lit) + " ";
            fail(name, "assignment [" + a + "] satisfiable=" + std::to_string(got) + ", expected " +
                           std::to_string(expected) + ": " + describe(k, c.top_id));
        }
    }
}

// Whether the input is one an encoder may refuse: ids running out anywhere,
// other limits only once some weight or the bound needs 32 bits or more.
bool may_refuse(const Case& c, const std::string& message) {
    if (starts_with(message, "quillet: variable ids exhausted")) return true;
    if (message.find("lookup failed") != std::string::npos || message.find("missing") != std::string::npos ||
        message.find("literal 0") != std::string::npos)
        return false;
    bool wide = c.constraint.bound >= (Weight{1} << 31);
    for (const auto& t : c.constraint.terms) wide = wide || t.weight >= (Weight{1} << 31);
    return wide;
}

// Keeps single fuzz runs short: gswc allocates (groups - 1) * bound counters
// by design, so large bounds that still fit the id space are skipped.
bool too_big(const std::string& name, const Case& c) {
    if (name != "gswc") return false;
    const Wide counters = static_cast<Wide>(c.constraint.groups.size()) * c.constraint.bound;
    const bool fits_ids = c.top_id >= 0 && counters + static_cast<Wide>(c.top_id) <= kMaxLit;
    return fits_ids && counters > 200000;
}

bool same_clauses(const quillet::ClauseList& a, const quillet::ClauseList& b) {
    if (a.size() != b.size() || !std::ranges::equal(a.literals(), b.literals())) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].size() != b[i].size()) return false;
    return true;
}

void run_encoder(const std::string& name, const Case& c, const std::string& invalid) {
    // A budget of 4 Mi literals: every encoder must refuse larger outputs
    // cleanly, and under the sanitizers an encoding near the default 2^30
    // would take minutes.
    quillet::EncodeOptions options{c.top_id};
    options.max_literals = std::uint64_t{1} << 22;
    const std::unique_ptr<quillet::Encoder> encoder = quillet::make_encoder(name);
    if (encoder->name() != name) fail(name, "make_encoder returned the wrong encoder");
    if (too_big(name, c)) return;
    quillet::EncodeResult result;
    try {
        result = encoder->encode(c.constraint, options);
    } catch (const std::bad_alloc&) {
        return;
    } catch (const std::length_error&) {
        return;
    } catch (const std::exception& error) {
        const std::string message = error.what();
        if (!starts_with(message, "quillet: ")) fail(name, "message without prefix: " + message);
        if (!invalid.empty()) {
            if (message != invalid)
                fail(name, "refused invalid input with \"" + message + "\" instead of \"" + invalid + "\"");
            return;
        }
        if (!may_refuse(c, message)) fail(name, "refused valid input: " + message + ": " + describe(c.constraint, c.top_id));
        return;
    }
    if (!invalid.empty()) fail(name, "accepted invalid input (" + invalid + "): " + describe(c.constraint, c.top_id));
    check_result(name, c, result);
    // Small inputs can still give large encodings (gmto with large co-prime
    // weights); the second run and the semantic check (a solver call per
    // input assignment, slow under the sanitizers) are skipped there.
    if (c.small && result.cnf.clauses.num_literals() <= 100000) {
        const quillet::EncodeResult again = encoder->encode(c.constraint, options);
        if (again.cnf.num_vars != result.cnf.num_vars || !same_clauses(again.cnf.clauses, result.cnf.clauses))
            fail(name, "two calls differ: " + describe(c.constraint, c.top_id));
        const quillet::EncodingSize size = encoder->measure(c.constraint, options);
        if (size.variables != result.num_aux_vars() || size.clauses != result.num_clauses() ||
            size.literals != result.cnf.clauses.num_literals())
            fail(name, "measure differs from encode: " + describe(c.constraint, c.top_id));
        check_semantics(name, c, result);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint8_t mode = in.ConsumeIntegral<std::uint8_t>();
    if (mode % 16 == 15) {
        // An arbitrary name: found exactly when it is one of the five.
        const std::string name = in.ConsumeRandomLengthString(8);
        const auto names = quillet::available_encoders();
        const bool known = std::find(names.begin(), names.end(), name) != names.end();
        try {
            const auto encoder = quillet::make_encoder(name);
            if (!known || encoder->name() != name) fail(name, "unknown name accepted");
        } catch (const std::invalid_argument& error) {
            if (known || std::string(error.what()) != "quillet: unknown encoder name") fail(name, "name lookup");
        }
        return 0;
    }
    const Case c = mode % 4 == 0 ? raw_case(in) : small_valid_case(in);
    const std::string invalid = validation_message(c);
    static const bool print = std::getenv("FUZZ_PRINT") != nullptr;  // for replaying a saved input
    if (print) std::fprintf(stderr, "case: %s\n", describe(c.constraint, c.top_id).c_str());
    if (c.small && !invalid.empty()) fail("-", "generator built an invalid case: " + invalid);
    // FUZZ_ENCODERS=mdd,gswc restricts a run to some encoders.
    static const std::string only = std::getenv("FUZZ_ENCODERS") ? std::getenv("FUZZ_ENCODERS") : "";
    for (const std::string& name : quillet::available_encoders())
        if (only.empty() || ("," + only + ",").find("," + name + ",") != std::string::npos)
            run_encoder(name, c, invalid);
    return 0;
}
