// Times the gmto radix choice on the inputs where the batch gcds decide:
// pairwise co-prime products of two 31-bit primes, random 62-bit weights and
// distinct primes near 2^62. Not a test; build it against the library:
//   g++ -O2 -std=c++20 -Isrc -Iinclude bench/gmto_radix_timing.cpp BUILD/libquillet.a -o /tmp/radix_timing
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <set>
#include <vector>

#include "encoders/gmto/radix.hpp"

namespace {

using u64 = std::uint64_t;

bool is_prime(const u64 n) {
    if (n < 2) return false;
    for (const u64 p : {2ULL, 3ULL, 5ULL, 7ULL, 11ULL, 13ULL, 17ULL, 19ULL, 23ULL, 29ULL, 31ULL, 37ULL}) {
        if (n % p == 0) return n == p;
    }
    const auto mulmod = [n](const u64 a, const u64 b) { return static_cast<u64>(static_cast<unsigned __int128>(a) * b % n); };
    const auto powmod = [&](u64 b, u64 e) {
        u64 r = 1;
        for (; e != 0; e >>= 1, b = mulmod(b, b))
            if (e & 1) r = mulmod(r, b);
        return r;
    };
    u64 d = n - 1;
    int s = 0;
    while ((d & 1) == 0) d >>= 1, ++s;
    for (const u64 a : {2ULL, 3ULL, 5ULL, 7ULL, 11ULL, 13ULL, 17ULL, 19ULL, 23ULL, 29ULL, 31ULL, 37ULL}) {
        u64 x = powmod(a, d);
        if (x == 1 || x == n - 1) continue;
        bool composite = true;
        for (int i = 1; i < s && composite; ++i) composite = (x = mulmod(x, x)) != n - 1;
        if (composite) return false;
    }
    return true;
}

std::vector<u64> distinct_primes(const std::size_t count, const u64 low, const u64 high, std::mt19937_64& rng) {
    std::set<u64> seen;
    std::vector<u64> out;
    std::uniform_int_distribution<u64> pick(low, high);
    while (out.size() < count) {
        const u64 c = pick(rng) | 1;
        if (is_prime(c) && seen.insert(c).second) out.push_back(c);
    }
    return out;
}

// CPU time of this process: on a machine shared with other jobs it moves far
// less than the wall clock.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void time_it(const char* name, const std::vector<u64>& w) {
    double best_wall = 1e9;
    double best_cpu = 1e9;
    std::size_t radices = 0;
    for (int run = 0; run < 7; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_seconds();
        radices = quillet::gmto::select_radices(w, ~u64{0} - 1).size();
        best_cpu = std::min(best_cpu, cpu_seconds() - cpu_start);
        best_wall = std::min(best_wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("%-40s %8.1f ms wall %8.1f ms cpu  (%zu radices)\n", name, best_wall * 1e3, best_cpu * 1e3, radices);
}

}  // namespace

int main(int argc, char** argv) {
    // With an argument, only that many products of two primes, timed once
    // (for callgrind).
    if (argc > 1) {
        std::mt19937_64 rng(7);
        const std::size_t n = std::strtoull(argv[1], nullptr, 10);
        const std::vector<u64> p = distinct_primes(2 * n, u64{1} << 30, (u64{1} << 31) - 1, rng);
        std::vector<u64> w(n);
        for (std::size_t i = 0; i < n; ++i) w[i] = p[2 * i] * p[2 * i + 1];
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_seconds();
        const std::size_t radices = quillet::gmto::select_radices(w, ~u64{0} - 1).size();
        std::printf("%zu products: %.1f ms wall, %.1f ms cpu (%zu radices)\n", n,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 1e3,
                    (cpu_seconds() - cpu_start) * 1e3, radices);
        return 0;
    }
    std::mt19937_64 rng(2026);
    for (const std::size_t n : {1'000u, 10'000u, 20'000u}) {
        const std::vector<u64> p = distinct_primes(2 * n, u64{1} << 30, (u64{1} << 31) - 1, rng);
        std::vector<u64> w(n);
        for (std::size_t i = 0; i < n; ++i) w[i] = p[2 * i] * p[2 * i + 1];
        char name[64];
        std::snprintf(name, sizeof name, "%zu products of two 31-bit primes", n);
        time_it(name, w);
    }
    std::vector<u64> random(10'000);
    for (u64& x : random) x = rng() >> 2;
    time_it("10000 random weights below 2^62", random);
    time_it("10000 distinct primes near 2^62", distinct_primes(10'000, (u64{1} << 62) - (u64{1} << 40), (u64{1} << 62), rng));
}
