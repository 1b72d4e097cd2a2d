// A buffered writer of DIMACS CNF and WCNF (the format without a `p` line:
// `h` before a hard clause, the weight before a soft one). Integers are
// formatted by hand and written in large blocks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/constraint.hpp"

namespace quillet::dimacs {

// The largest soft-clause weight written; heavier ones are refused.
inline constexpr std::uint64_t max_soft_weight = std::uint64_t{1} << 63;

// Writes to a file descriptor (not closed by the writer) or, with fd -1, into
// an in-memory string.
class Writer {
public:
    explicit Writer(int fd, std::size_t buffer_size = std::size_t{1} << 22);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // "c <text>\n" for each line of text.
    void comment(std::string_view text);
    // "p cnf <num_vars> <num_clauses>\n".
    void header(std::int32_t num_vars, std::uint64_t num_clauses);

    void clause(std::span<const Lit> lits);                    // "l1 l2 0\n"
    void hard(std::span<const Lit> lits);                      // "h l1 l2 0\n"
    void soft(std::uint64_t weight, std::span<const Lit> lits);  // "w l1 0\n"; throws above max_soft_weight
    void raw(std::string_view text);

    void flush();
    std::uint64_t bytes_written() const { return written_ + used_; }
    // The text written so far, when writing to memory.
    const std::string& text() const { return memory_; }

private:
    void ensure(std::size_t n) {
        if (buffer_.size() - used_ < n) drain(n);
    }
    void drain(std::size_t need);
    void put_int(std::int64_t value);
    void put_uint(std::uint64_t value);
    void put_lits(std::span<const Lit> lits);

    int fd_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
    std::string memory_;
};

// Decimal digits of v written backwards ending at `end`; returns the start.
char* format_uint(std::uint64_t v, char* end);

// Writes all of `data` to `fd`, retrying short writes and interrupted calls;
// throws std::system_error on failure.
void write_all(int fd, const char* data, std::size_t size);

}  // namespace quillet::dimacs
