// Small builders shared by the C++ tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "quillet/quillet.hpp"

namespace quillet_test {

using Clauses = std::vector<std::vector<quillet::Lit>>;

inline quillet::GroupedLeqConstraint constraint(std::vector<std::pair<quillet::Lit, quillet::Weight>> terms,
                                                std::vector<std::vector<quillet::Lit>> groups,
                                                quillet::Weight bound, bool emit_amo = false) {
    quillet::GroupedLeqConstraint c;
    for (const auto& [lit, weight] : terms) c.terms.push_back({lit, weight});
    c.groups = std::move(groups);
    c.bound = bound;
    c.emit_amo = emit_amo;
    return c;
}

inline quillet::EncodeResult encode(const std::string& name, const quillet::GroupedLeqConstraint& c,
                                    std::int32_t top_id) {
    return quillet::make_encoder(name)->encode(c, quillet::EncodeOptions{top_id});
}

// The message of the std::exception that `f` throws, or "" when it returns.
template <typename F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace quillet_test
