#include "io/dimacs.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace quillet::dimacs {

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";


}  // namespace

char* format_uint(std::uint64_t v, char* end) {
    while (v >= 100) {
        const auto pair = static_cast<std::size_t>(v % 100) * 2;
        v /= 100;
        *--end = kDigitPairs[pair + 1];
        *--end = kDigitPairs[pair];
    }
    if (v >= 10) {
        const auto pair = static_cast<std::size_t>(v) * 2;
        *--end = kDigitPairs[pair + 1];
        *--end = kDigitPairs[pair];
    } else {
        *--end = static_cast<char>('0' + v);
    }
    return end;
}

Writer::Writer(int fd, std::size_t buffer_size) : fd_(fd), buffer_(buffer_size < 4096 ? 4096 : buffer_size) {}

Writer::~Writer() = default;

void Writer::drain(std::size_t need) {
    if (used_ > 0) {
        if (fd_ >= 0) {
            write_all(fd_, buffer_.data(), used_);
        } else {
            memory_.append(buffer_.data(), used_);
        }
        written_ += used_;
        used_ = 0;
    }
    if (buffer_.size() < need) buffer_.resize(need);
}

void Writer::flush() { drain(0); }

void Writer::put_uint(std::uint64_t value) {
    char digits[24];
    char* const end = digits + sizeof digits;
    char* const start = format_uint(value, end);
    const auto n = static_cast<std::size_t>(end - start);
    std::memcpy(buffer_.data() + used_, start, n);
    used_ += n;
}

void Writer::put_int(std::int64_t value) {
    if (value < 0) {
        buffer_[used_++] = '-';
        put_uint(static_cast<std::uint64_t>(-value));
    } else {
        put_uint(static_cast<std::uint64_t>(value));
    }
}

void Writer::put_lits(std::span<const Lit> lits) {
    for (const Lit lit : lits) {
        ensure(16);
        put_int(lit);
        buffer_[used_++] = ' ';
    }
    ensure(2);
    buffer_[used_++] = '0';
    buffer_[used_++] = '\n';
}

void Writer::clause(std::span<const Lit> lits) { put_lits(lits); }

void Writer::hard(std::span<const Lit> lits) {
    ensure(2);
    buffer_[used_++] = 'h';
    buffer_[used_++] = ' ';
    put_lits(lits);
}

void Writer::soft(std::uint64_t weight, std::span<const Lit> lits) {
    if (weight > max_soft_weight)
        throw std::out_of_range("quillet: a soft clause weight of " + std::to_string(weight) +
                                " exceeds 2^63, the largest weight the WCNF output supports");
    ensure(24);
    put_uint(weight);
    buffer_[used_++] = ' ';
    put_lits(lits);
}

void Writer::raw(std::string_view text) {
    ensure(text.size());
    std::memcpy(buffer_.data() + used_, text.data(), text.size());
    used_ += text.size();
}

void Writer::comment(std::string_view text) {
    for (;;) {
        const auto nl = text.find('\n');
        raw("c ");
        raw(text.substr(0, nl));
        raw("\n");
        if (nl == std::string_view::npos) return;
        text.remove_prefix(nl + 1);
    }
}

void Writer::header(std::int32_t num_vars, std::uint64_t num_clauses) {
    ensure(64);
    raw("p cnf ");
    put_uint(static_cast<std::uint64_t>(num_vars < 0 ? 0 : num_vars));
    buffer_[used_++] = ' ';
    put_uint(num_clauses);
    buffer_[used_++] = '\n';
}

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "write");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace quillet::dimacs
