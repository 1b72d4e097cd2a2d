// A streaming reader for linear OPB files in the dialect of the pseudo-Boolean
// competitions, and the normalisation of every constraint into "sum <= bound"
// over DIMACS literals with positive weights. Private to the library: the
// command line and the extension module use it, it is not installed.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quillet/constraint.hpp"

namespace quillet::opb {

using Int = __int128;  // coefficients, degrees and their sums

// A coefficient or degree is accepted up to this magnitude, so that the sum of
// up to 2^30 of them still fits Int exactly.
inline constexpr Int max_coefficient = Int{1} << 96;

// Variable numbers x1 .. x2147483647 are accepted: a number is a key, never
// an index, so a sparse numbering costs no memory (see Normalizer).
inline constexpr std::int32_t max_variable_number = max_variable_id;

// "FILE:LINE:COLUMN: what is wrong" (line and column from 1).
class ParseError : public std::runtime_error {
public:
    ParseError(const std::string& file, std::uint64_t line, std::uint64_t column, const std::string& what);
    std::uint64_t line;
    std::uint64_t column;
};

enum class Relation : std::uint8_t { ge, le, eq };

// One constraint (or the objective) as written: coefficients on literals.
struct RawTerm {
    Int coefficient;
    Lit lit;  // x<n> is n, ~x<n> is -n
};
struct RawConstraint {
    std::vector<RawTerm> terms;
    Relation relation = Relation::ge;
    Int degree = 0;
    std::uint64_t line = 0;    // where the constraint starts
    std::uint64_t column = 0;
    bool maximize = false;     // an objective written "max:"
};

struct Header {
    std::int64_t variables = -1;   // #variable= of the first comment line, or -1
    std::int64_t constraints = -1; // #constraint=, or -1
};

// Receives what the reader finds, in file order. A handler may throw
// ParseError (through Reader::error) to reject what it was given.
class Handler {
public:
    virtual ~Handler() = default;
    virtual void header(const Header&) {}
    virtual void objective(const RawConstraint& objective) = 0;
    virtual void constraint(const RawConstraint& constraint) = 0;
};

// Reads the file descriptor to its end in large blocks (never seeks, so pipes
// work), calling the handler once per objective and constraint. `name` is the
// file name used in error messages. `progress`, when set, is called now and
// then with the number of bytes read so far.
struct ReadOptions {
    std::function<void(std::uint64_t)> progress;
};
void read_opb(int fd, const std::string& name, Handler& handler, const ReadOptions& options = {});
// The same over text in memory (tests, small inputs).
void read_opb_text(std::string_view text, const std::string& name, Handler& handler);

// ---------------------------------------------------------------------------
// Normalised problem.

enum class Kind : std::uint8_t {
    clause,       // the disjunction of the row's literals (weights 1, bound unused)
    amo,          // sum of literals <= 1
    cardinality,  // sum of literals <= bound, 2 <= bound <= size - 2
    pb,           // sum of weighted literals <= bound, weights not all equal
};

struct Row {
    Kind kind;
    std::uint64_t begin;  // index of the first term in Problem::terms
    std::uint64_t end;
    Weight bound;
    std::uint64_t line;   // source line of the constraint the row comes from
};

// Always to be minimised: "max: f" is read as "min: -f", with maximize set so
// that values can be reported in the file's sense (the negation).
struct Objective {
    bool present = false;
    bool maximize = false;
    std::vector<WeightedLiteral> terms;  // value = offset + sum of weights of true literals
    Int offset = 0;
    std::uint64_t line = 0;
};

struct Counts {
    std::uint64_t constraints = 0;  // constraints read (an equality counts once)
    std::uint64_t trivially_true = 0;
    std::uint64_t trivially_false = 0;
    std::uint64_t units = 0;        // unit clauses split off larger constraints
};

// Variables are numbered 1 .. num_vars. They keep the file's numbers when
// these are dense (the largest number, or the header's #variable= count, at
// most twice the variables that occur plus 1024); otherwise they are
// renumbered 1, 2, .. in increasing order of the file's numbers. Either way
// every table indexed by variable stays within a constant times the input.
struct Problem {
    std::int32_t num_vars = 0;  // largest variable id
    std::vector<Row> rows;
    std::vector<WeightedLiteral> terms;
    Objective objective;
    Counts counts;
    std::vector<std::int32_t> variables_used;  // sorted ids of the variables that occur
    // Empty when the file's numbers are kept; otherwise the file's number of
    // variable v is file_numbers[v - 1].
    std::vector<std::int32_t> file_numbers;

    std::span<const WeightedLiteral> row_terms(const Row& row) const {
        return {terms.data() + row.begin, static_cast<std::size_t>(row.end - row.begin)};
    }
    std::int32_t file_number(std::int32_t v) const {
        return file_numbers.empty() ? v : file_numbers[static_cast<std::size_t>(v) - 1];
    }
};

// The variables of a file in the order they first occur: file number to a
// dense index. Small numbers (up to about four times the variables seen)
// are looked up in a table, others in a hash map, so that memory follows
// the variables that occur and never the size of a number.
class VariableIndex {
public:
    static constexpr std::uint32_t kAbsent = 0xffffffffu;
    // The index of the number, a new one the first time.
    std::uint32_t insert(std::int32_t number);
    std::uint32_t find(std::int32_t number) const;
    // The file number of each index.
    const std::vector<std::int32_t>& numbers() const { return numbers_; }

private:
    std::vector<std::uint32_t> direct_;
    std::unordered_map<std::int32_t, std::uint32_t> sparse_;
    std::vector<std::int32_t> numbers_;
};

// A handler that normalises each constraint as it arrives: variables merged,
// negative coefficients turned into negated literals, constants moved into the
// bound, `=` split into both directions, `>=` negated into `<=`; then trivially
// true constraints dropped, trivially false ones turned into the empty clause,
// literals whose weight alone passes the bound split off as unit clauses,
// weights divided by their greatest common divisor, and each row classified.
class Normalizer : public Handler {
public:
    explicit Normalizer(std::string file_name);
    void header(const Header& header) override;
    void objective(const RawConstraint& objective) override;
    void constraint(const RawConstraint& constraint) override;
    // The problem, renumbered as Problem says. Call once, at the end.
    Problem take();
    // After take(): the problem's literal for a literal of the file.
    Lit problem_literal(Lit file_literal) const;

private:
    void add_leq(std::uint64_t line, std::uint64_t column, bool negate, Int rhs_shift);
    void merge(const RawConstraint& raw);

    std::string file_;
    Problem problem_;
    struct Merged {
        std::int32_t var;
        Int coefficient;
    };
    std::vector<Merged> merged_;         // the constraint being normalised, variables in first-seen order
    VariableIndex index_;                // every variable of the file
    std::vector<std::uint32_t> slot_;    // per variable index: 1 + its place in merged_ (long constraints only)
    Int constant_ = 0;                  // constant part of the merged left side
    std::int64_t declared_vars_ = 0;    // #variable= of the header, a hint
    std::vector<std::int32_t> renumbered_;  // per variable index: its problem id, after take()
};

Problem read_problem(int fd, const std::string& name, const ReadOptions& options = {});
Problem read_problem_text(std::string_view text, const std::string& name);

// Decimal text of an Int.
std::string to_string(Int value);

}  // namespace quillet::opb
