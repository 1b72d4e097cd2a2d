// Validation of a grouped constraint (defined in validate.cpp).
#pragma once

#include <vector>

#include "quillet/constraint.hpp"

namespace quillet {

// Validates like GroupedLeqConstraint::validate and returns the weight of
// every group literal, group after group in the groups' order.
std::vector<Weight> validated_group_weights(const GroupedLeqConstraint& constraint);

}  // namespace quillet
