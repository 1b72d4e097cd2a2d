// The common interface of the encoders and the registry that creates them
// by name.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/cnf.hpp"
#include "quillet/constraint.hpp"

namespace quillet {

class Encoder {
public:
    virtual ~Encoder() = default;
    virtual std::string_view name() const = 0;
    virtual EncodeResult encode(const GroupedLeqConstraint& constraint,
                                const EncodeOptions& options) const = 0;
};

// Exact, case-sensitive name lookup; any other name throws
// std::invalid_argument("quillet: unknown encoder name").
std::unique_ptr<Encoder> make_encoder(std::string_view name);

// "mdd", "gswc", "ggpw", "gmto", "rggt", in this order.
std::vector<std::string> available_encoders();

}  // namespace quillet
