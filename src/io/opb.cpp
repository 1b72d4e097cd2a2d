#include "io/opb.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <system_error>
#include <utility>

#include <unistd.h>

namespace quillet::opb {

ParseError::ParseError(const std::string& file, std::uint64_t line_, std::uint64_t column_, const std::string& what)
    : std::runtime_error(file + ":" + std::to_string(line_) + ":" + std::to_string(column_) + ": " + what),
      line(line_),
      column(column_) {}

std::string to_string(Int value) {
    if (value == 0) return "0";
    const bool negative = value < 0;
    // Work on the magnitude as unsigned so that the most negative value is fine.
    unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(value);
    char digits[48];
    int n = 0;
    while (magnitude != 0) {
        digits[n++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    }
    std::string out;
    if (negative) out.push_back('-');
    while (n > 0) out.push_back(digits[--n]);
    return out;
}

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 22;  // 4 MiB reads
constexpr std::uint64_t kMaxTerms = std::uint64_t{1} << 30;

bool is_space(const int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool is_digit(const int c) { return c >= '0' && c <= '9'; }
bool is_word(const int c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '.' || c == '#';
}

std::string describe(const int c) {
    if (c < 0) return "end of file";
    if (c == '\n') return "end of line";
    if (c >= 33 && c < 127) return std::string("'") + static_cast<char>(c) + "'";
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "byte 0x%02x", c & 0xff);
    return buffer;
}

// The character source: a block buffer refilled from a descriptor, or text in
// memory. Tracks line and column of the next character.
class Source {
public:
    Source(int fd, std::string_view text, const ReadOptions* options)
        : fd_(fd), options_(options) {
        if (fd_ < 0) {
            text_base_ = text.data();
            pos_ = text.data();
            end_ = text.data() + text.size();
            eof_ = true;
        } else {
            buffer_.resize(kBlock);
            pos_ = end_ = buffer_.data();
        }
    }

    int peek() {
        if (pos_ == end_ && !refill()) return -1;
        return static_cast<unsigned char>(*pos_);
    }
    int get() {
        if (pos_ == end_ && !refill()) return -1;
        const int c = static_cast<unsigned char>(*pos_++);
        if (c == '\n') {
            ++line_;
            line_start_ = offset();
        }
        return c;
    }
    std::uint64_t line() const { return line_; }
    std::uint64_t column() const { return offset() - line_start_ + 1; }
    // Byte offset of the next character.
    std::uint64_t offset() const { return consumed_ + static_cast<std::uint64_t>(pos_ - base()); }
    // Skips the rest of the line (not the newline).
    void skip_line() {
        for (;;) {
            if (pos_ == end_ && !refill()) return;
            const void* nl = std::memchr(pos_, '\n', static_cast<std::size_t>(end_ - pos_));
            if (nl != nullptr) {
                pos_ = static_cast<const char*>(nl);
                return;
            }
            pos_ = end_;
        }
    }
    // The rest of the line as text, for the header comment (bounded).
    std::string rest_of_line() {
        std::string out;
        while (peek() >= 0 && peek() != '\n' && out.size() < 4096) out.push_back(static_cast<char>(get()));
        return out;
    }

private:
    const char* base() const { return fd_ < 0 ? text_base_ : buffer_.data(); }
    bool refill() {
        if (eof_) return false;
        consumed_ += static_cast<std::uint64_t>(pos_ - buffer_.data());
        for (;;) {
            const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                throw std::system_error(errno, std::generic_category(), "read");
            }
            pos_ = buffer_.data();
            end_ = buffer_.data() + n;
            if (n == 0) {
                eof_ = true;
                return false;
            }
            if (options_ != nullptr && options_->progress) options_->progress(consumed_ + static_cast<std::uint64_t>(n));
            return true;
        }
    }

    int fd_;
    const ReadOptions* options_;
    std::vector<char> buffer_;
    const char* text_base_ = nullptr;
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
    bool eof_ = false;
    std::uint64_t consumed_ = 0;  // bytes before the buffer's start
    std::uint64_t line_ = 1;
    std::uint64_t line_start_ = 0;
};

class Parser {
public:
    Parser(Source& source, const std::string& name, Handler& handler) : in_(source), name_(name), handler_(handler) {}

    void run() {
        bool header_seen = false;
        bool first_statement = true;
        for (;;) {
            skip_space();
            const int c = in_.peek();
            if (c < 0) break;
            if (c == '*') {
                if (in_.column() != 1) fail("'*' starts a comment only at the beginning of a line");
                if (!header_seen && first_statement) {
                    header_seen = true;
                    parse_header(in_.rest_of_line());
                } else {
                    in_.skip_line();
                }
                continue;
            }
            if (!header_seen) {
                header_seen = true;
                handler_.header(Header{});
            }
            if (c == 'm') {
                if (!first_statement) fail("the objective must come before the constraints");
                parse_objective();
            } else {
                parse_constraint();
            }
            first_statement = false;
        }
    }

private:
    [[noreturn]] void fail(const std::string& what) { throw ParseError(name_, in_.line(), in_.column(), what); }
    [[noreturn]] void fail_at(std::uint64_t line, std::uint64_t column, const std::string& what) {
        throw ParseError(name_, line, column, what);
    }

    void skip_space() {
        for (;;) {
            const int c = in_.peek();
            if (c < 0 || !is_space(c)) return;
            in_.get();
        }
    }

    void parse_header(const std::string& text) {
        Header header;
        auto find = [&](const char* key) -> std::int64_t {
            const auto at = text.find(key);
            if (at == std::string::npos) return -1;
            std::size_t i = at + std::strlen(key);
            while (i < text.size() && text[i] == ' ') ++i;
            std::int64_t value = 0;
            bool any = false;
            while (i < text.size() && is_digit(text[i]) && value < (std::int64_t{1} << 40)) {
                value = value * 10 + (text[i] - '0');
                any = true;
                ++i;
            }
            return any ? value : -1;
        };
        header.variables = find("#variable=");
        header.constraints = find("#constraint=");
        handler_.header(header);
    }

    // An integer with an optional sign directly in front of its digits.
    Int parse_integer(const char* what) {
        const std::uint64_t line = in_.line(), column = in_.column();
        bool negative = false;
        int c = in_.peek();
        if (c == '+' || c == '-') {
            negative = c == '-';
            in_.get();
            c = in_.peek();
        }
        if (!is_digit(c)) fail("expected the digits of " + std::string(what) + ", found " + describe(c));
        Int value = 0;
        while (is_digit(c = in_.peek())) {
            value = value * 10 + (c - '0');
            if (value > max_coefficient)
                fail_at(line, column, std::string(what) + " is too large: magnitudes up to 2^96 are supported");
            in_.get();
        }
        if (c == '.' || c == 'e' || c == 'E') fail("malformed " + std::string(what) + ": only integers are allowed");
        if (c >= 0 && is_word(c)) fail("malformed " + std::string(what) + ": unexpected " + describe(c));
        return negative ? -value : value;
    }

    // x<n> or ~x<n>.
    Lit parse_literal() {
        bool negated = false;
        if (in_.peek() == '~') {
            negated = true;
            in_.get();
        }
        int c = in_.peek();
        if (c != 'x') fail("expected a variable x<number>, found " + describe(c));
        in_.get();
        c = in_.peek();
        if (!is_digit(c)) fail("expected the number of a variable after 'x', found " + describe(c));
        const std::uint64_t line = in_.line(), column = in_.column();
        std::int64_t id = 0;
        while (is_digit(c = in_.peek())) {
            id = id * 10 + (c - '0');
            if (id > max_variable_number) fail_at(line, column, "variable number too large (at most 2147483647)");
            in_.get();
        }
        if (id == 0) fail_at(line, column, "variable numbers start at 1");
        if (c >= 0 && is_word(c)) fail("malformed variable name: unexpected " + describe(c));
        return negated ? -static_cast<Lit>(id) : static_cast<Lit>(id);
    }

    bool at_literal() {
        const int c = in_.peek();
        return c == 'x' || c == '~';
    }

    // Terms up to (not including) a relation or ';'.
    void parse_terms(bool objective) {
        raw_.terms.clear();
        for (;;) {
            skip_space();
            const int c = in_.peek();
            if (c == ';' || c == '>' || c == '<' || c == '=') return;
            if (c < 0) fail(objective ? "missing ';' at the end of the objective" : "missing ';' at the end of the constraint");
            if (c == '*' && in_.column() == 1) fail("missing ';' before this comment line");
            if (at_literal()) fail("expected a coefficient before the literal");
            if (!(c == '+' || c == '-' || is_digit(c))) fail("unexpected " + describe(c) + " where a term was expected");
            const Int coefficient = parse_integer("a coefficient");
            skip_space();
            if (!at_literal()) {
                const int d = in_.peek();
                if (d == ';' || d == '>' || d == '<' || d == '=' || d < 0)
                    fail("expected a literal after the coefficient, found " + describe(d));
                fail("expected a literal x<number> or ~x<number>, found " + describe(d));
            }
            const Lit lit = parse_literal();
            // A second literal in the same term is a product.
            const int after = in_.peek();
            if (after >= 0 && !is_space(after) && after != ';' && after != '>' && after != '<' && after != '=' &&
                after != '+' && after != '-')
                fail("unexpected " + describe(after) + " after a literal");
            skip_space();
            if (at_literal()) fail("non-linear term (a product of literals) is not supported");
            if (raw_.terms.size() >= kMaxTerms) fail("too many terms in one constraint");
            raw_.terms.push_back({coefficient, lit});
        }
    }

    void parse_objective() {
        raw_.line = in_.line();
        raw_.column = in_.column();
        std::string word;
        while (in_.peek() >= 0 && (is_word(in_.peek()) || in_.peek() == ':') && word.size() < 16) {
            word.push_back(static_cast<char>(in_.get()));
            if (word.back() == ':') break;
        }
        if (word != "min:" && word != "max:")
            fail_at(raw_.line, raw_.column, "expected 'min:', 'max:' or a constraint, found '" + word + "'");
        raw_.maximize = word == "max:";
        parse_terms(true);
        if (in_.peek() != ';') fail("the objective takes no relation; expected ';'");
        in_.get();
        raw_.relation = Relation::le;
        raw_.degree = 0;
        handler_.objective(raw_);
    }

    void parse_constraint() {
        raw_.maximize = false;
        skip_space();
        raw_.line = in_.line();
        raw_.column = in_.column();
        parse_terms(false);
        int c = in_.peek();
        if (c == ';') fail("missing relation and degree before ';'");
        if (c == '=') {
            in_.get();
            raw_.relation = Relation::eq;
        } else {
            in_.get();
            if (in_.peek() != '=') fail("expected '" + std::string(1, static_cast<char>(c)) + "=' (strict relations are not part of OPB)");
            in_.get();
            raw_.relation = c == '>' ? Relation::ge : Relation::le;
        }
        skip_space();
        c = in_.peek();
        if (!(c == '+' || c == '-' || is_digit(c))) fail("expected the degree (an integer), found " + describe(c));
        raw_.degree = parse_integer("the degree");
        skip_space();
        c = in_.peek();
        if (c != ';') fail("expected ';' after the degree, found " + describe(c));
        in_.get();
        handler_.constraint(raw_);
    }

    Source& in_;
    const std::string& name_;
    Handler& handler_;
    RawConstraint raw_;
};

}  // namespace

void read_opb(int fd, const std::string& name, Handler& handler, const ReadOptions& options) {
    Source source(fd, {}, &options);
    Parser(source, name, handler).run();
}

void read_opb_text(std::string_view text, const std::string& name, Handler& handler) {
    Source source(-1, text, nullptr);
    Parser(source, name, handler).run();
}

// ---------------------------------------------------------------------------

namespace {
constexpr Int kWeightMax = static_cast<Int>(~std::uint64_t{0});
// Numbers below this many plus four times the variables seen so far are
// looked up in VariableIndex's table.
constexpr std::size_t kDirectSlack = std::size_t{1} << 16;
// The file's numbers are kept when none passes twice the variables that
// occur plus this.
constexpr std::int64_t kDenseSlack = 1024;
}  // namespace

std::uint32_t VariableIndex::find(const std::int32_t number) const {
    const auto n = static_cast<std::size_t>(number);
    if (n < direct_.size() && direct_[n] != kAbsent) return direct_[n];
    if (sparse_.empty()) return kAbsent;
    const auto it = sparse_.find(number);
    return it == sparse_.end() ? kAbsent : it->second;
}

std::uint32_t VariableIndex::insert(const std::int32_t number) {
    const auto n = static_cast<std::size_t>(number);
    if (n < direct_.size() && direct_[n] != kAbsent) return direct_[n];
    const std::uint32_t found = find(number);
    if (found != kAbsent) return found;
    const auto index = static_cast<std::uint32_t>(numbers_.size());
    numbers_.push_back(number);
    const std::size_t limit = 4 * numbers_.size() + kDirectSlack;
    if (n < limit) {
        if (n >= direct_.size()) direct_.resize(std::min(limit, std::max(n + 1, 2 * direct_.size())), kAbsent);
        direct_[n] = index;
    } else {
        sparse_.emplace(number, index);
    }
    return index;
}

Normalizer::Normalizer(std::string file_name) : file_(std::move(file_name)) {}

void Normalizer::header(const Header& header) {
    // A hint only: it may raise the numbering of a dense file, it never sizes anything.
    if (header.variables > 0) declared_vars_ = header.variables;
}

void Normalizer::merge(const RawConstraint& raw) {
    constant_ = 0;
    merged_.clear();
    // Short constraints merge by a scan of what they have so far, which stays
    // in cache; long ones through a table indexed by variable.
    const bool short_row = raw.terms.size() <= 32;
    for (const RawTerm& term : raw.terms) {
        const std::int32_t v = term.lit > 0 ? term.lit : -term.lit;
        const std::uint32_t index = index_.insert(v);
        Int c = term.coefficient;
        if (term.lit < 0) {  // c * ~x = c - c * x
            constant_ += c;
            c = -c;
        }
        if (short_row) {
            auto it = merged_.begin();
            while (it != merged_.end() && it->var != v) ++it;
            if (it == merged_.end()) {
                merged_.push_back({v, c});
            } else {
                it->coefficient += c;
            }
            continue;
        }
        if (index >= slot_.size()) slot_.resize(std::max<std::size_t>(index + 1, 2 * slot_.size()), 0);
        if (slot_[index] == 0) {
            merged_.push_back({v, c});
            slot_[index] = static_cast<std::uint32_t>(merged_.size());
        } else {
            merged_[slot_[index] - 1].coefficient += c;
        }
    }
    if (!short_row)
        for (const Merged& m : merged_) slot_[index_.find(m.var)] = 0;
}

void Normalizer::objective(const RawConstraint& raw) {
    merge(raw);
    Objective& objective = problem_.objective;
    objective.present = true;
    objective.maximize = raw.maximize;
    // "max: f" is "min: -f"; the values reported go back to the file's sense.
    if (raw.maximize) {
        constant_ = -constant_;
        for (Merged& m : merged_) m.coefficient = -m.coefficient;
    }
    objective.line = raw.line;
    objective.offset = constant_;
    for (const auto& [v, c] : merged_) {
        if (c == 0) continue;
        const Int magnitude = c > 0 ? c : -c;
        if (magnitude > kWeightMax)
            throw ParseError(file_, raw.line, raw.column, "objective coefficient of x" + std::to_string(v) + " exceeds 2^64-1");
        if (c > 0) {
            objective.terms.push_back({v, static_cast<Weight>(magnitude)});
        } else {  // c * x = c + |c| * ~x
            objective.terms.push_back({-v, static_cast<Weight>(magnitude)});
            objective.offset += c;
        }
    }
}

void Normalizer::constraint(const RawConstraint& raw) {
    ++problem_.counts.constraints;
    merge(raw);
    // left side = sum of coefficient * x over merged_, + constant_
    switch (raw.relation) {
        case Relation::le: add_leq(raw.line, raw.column, false, raw.degree - constant_); break;
        case Relation::ge: add_leq(raw.line, raw.column, true, constant_ - raw.degree); break;
        case Relation::eq:
            add_leq(raw.line, raw.column, false, raw.degree - constant_);
            add_leq(raw.line, raw.column, true, constant_ - raw.degree);
            break;
    }
}

// sum (negate ? -c : c) * x_v <= rhs
void Normalizer::add_leq(std::uint64_t line, std::uint64_t column, bool negate, Int rhs) {
    struct Term {
        Lit lit;
        Int weight;
    };
    thread_local std::vector<Term> terms;
    terms.clear();
    Int sum = 0;
    for (const auto& [v, coefficient] : merged_) {
        const Int c = negate ? -coefficient : coefficient;
        if (c == 0) continue;
        if (c > 0) {
            terms.push_back({v, c});
            sum += c;
        } else {
            terms.push_back({-v, -c});
            rhs -= c;
            sum -= c;
        }
    }
    auto push_row = [&](Kind kind, Weight bound) {
        problem_.rows.push_back(Row{kind, 0, 0, bound, line});
    };
    if (rhs < 0) {
        ++problem_.counts.trivially_false;
        push_row(Kind::clause, 0);
        problem_.rows.back().begin = problem_.rows.back().end = problem_.terms.size();
        return;
    }
    if (sum <= rhs) {
        ++problem_.counts.trivially_true;
        return;
    }
    // A literal whose weight alone passes the bound must be false.
    std::size_t kept = 0;
    Int kept_sum = 0;
    for (const Term& term : terms) {
        if (term.weight > rhs) {
            ++problem_.counts.units;
            const std::uint64_t at = problem_.terms.size();
            problem_.terms.push_back({-term.lit, 1});
            push_row(Kind::clause, 0);
            problem_.rows.back().begin = at;
            problem_.rows.back().end = at + 1;
        } else {
            terms[kept++] = term;
            kept_sum += term.weight;
        }
    }
    terms.resize(kept);
    if (kept_sum <= rhs) return;
    if (rhs > kWeightMax) throw ParseError(file_, line, column, "the normalised degree exceeds 2^64-1, which the encoders do not support");
    Weight bound = static_cast<Weight>(rhs);
    Weight g = 0;
    for (const Term& term : terms) g = std::gcd(g, static_cast<Weight>(term.weight));
    bound /= g;
    const std::uint64_t begin = problem_.terms.size();
    bool all_one = true;
    for (const Term& term : terms) {
        const Weight w = static_cast<Weight>(term.weight) / g;
        all_one = all_one && w == 1;
        problem_.terms.push_back({term.lit, w});
    }
    const std::uint64_t end = problem_.terms.size();
    const std::uint64_t n = end - begin;
    Kind kind = Kind::pb;
    if (all_one) {
        if (bound + 1 == n) {
            kind = Kind::clause;  // at least one literal false
            for (std::uint64_t i = begin; i < end; ++i) problem_.terms[i].lit = -problem_.terms[i].lit;
            bound = 0;
        } else if (bound == 1) {
            kind = Kind::amo;
        } else {
            kind = Kind::cardinality;
        }
    }
    problem_.rows.push_back(Row{kind, begin, end, bound, line});
}

Problem Normalizer::take() {
    const std::vector<std::int32_t>& numbers = index_.numbers();
    const auto used = static_cast<std::int64_t>(numbers.size());
    std::vector<std::int32_t> sorted = numbers;
    std::sort(sorted.begin(), sorted.end());
    const std::int64_t largest = sorted.empty() ? 0 : sorted.back();
    const std::int64_t dense_limit = 2 * used + kDenseSlack;
    renumbered_.assign(numbers.size(), 0);
    if (largest <= dense_limit) {
        const bool honour_header = declared_vars_ <= dense_limit && declared_vars_ <= max_variable_number;
        problem_.num_vars = static_cast<std::int32_t>(std::max(largest, honour_header ? declared_vars_ : 0));
        for (std::size_t i = 0; i < numbers.size(); ++i) renumbered_[i] = numbers[i];
        problem_.variables_used = std::move(sorted);
        return std::move(problem_);
    }
    // Sparse: variable k (from 1) is the k-th smallest number of the file.
    problem_.num_vars = static_cast<std::int32_t>(used);
    for (std::size_t k = 0; k < sorted.size(); ++k) renumbered_[index_.find(sorted[k])] = static_cast<std::int32_t>(k + 1);
    for (WeightedLiteral& term : problem_.terms) term.lit = problem_literal(term.lit);
    for (WeightedLiteral& term : problem_.objective.terms) term.lit = problem_literal(term.lit);
    problem_.variables_used.resize(sorted.size());
    for (std::size_t k = 0; k < sorted.size(); ++k) problem_.variables_used[k] = static_cast<std::int32_t>(k + 1);
    problem_.file_numbers = std::move(sorted);
    return std::move(problem_);
}

Lit Normalizer::problem_literal(const Lit file_literal) const {
    const Lit id = renumbered_[index_.find(file_literal > 0 ? file_literal : -file_literal)];
    return file_literal > 0 ? id : -id;
}

Problem read_problem(int fd, const std::string& name, const ReadOptions& options) {
    Normalizer normalizer(name);
    read_opb(fd, name, normalizer, options);
    return normalizer.take();
}

Problem read_problem_text(std::string_view text, const std::string& name) {
    Normalizer normalizer(name);
    read_opb_text(text, name, normalizer);
    return normalizer.take();
}

}  // namespace quillet::opb
