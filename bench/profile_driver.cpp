// Profiling driver: encodes one constraint read from a file, repeatedly, through the C++ API.
//   profile_driver ENCODER FILE [REPS]
// FILE: first line "bound top_id", then one line per AMO group of "literal:weight" items.
// Build (see bench/profile.py): g++ -O2 -g -std=c++20 -Iinclude bench/profile_driver.cpp src/*.cpp
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "quillet/quillet.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: profile_driver ENCODER FILE [REPS]\n";
        return 2;
    }
    std::ifstream in(argv[2]);
    quillet::GroupedLeqConstraint c;
    std::int64_t top = 0;
    in >> c.bound >> top;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::istringstream ss(line);
        std::string item;
        std::vector<quillet::Lit> group;
        while (ss >> item) {
            const auto colon = item.find(':');
            const quillet::Lit lit = std::stoi(item.substr(0, colon));
            const quillet::Weight w = std::stoull(item.substr(colon + 1));
            c.terms.push_back({lit, w});
            group.push_back(lit);
        }
        c.groups.push_back(group);
    }
    const int reps = argc > 3 ? std::atoi(argv[3]) : 1;
    auto enc = quillet::make_encoder(argv[1]);
    std::uint64_t clauses = 0, lits = 0;
    for (int i = 0; i < reps; ++i) {
        quillet::EncodeResult r = enc->encode(c, quillet::EncodeOptions{static_cast<std::int32_t>(top)});
        clauses += r.num_clauses();
        lits += r.cnf.clauses.num_literals();
    }
    std::printf("%s: %zu terms, %zu groups, %llu clauses, %llu literals over %d runs\n", argv[1],
                c.terms.size(), c.groups.size(), (unsigned long long)clauses, (unsigned long long)lits, reps);
    return 0;
}
