// Encodes 3x1 + 5x2 + 2x3 + 6x4 <= 7 with the AMO groups {x1, x2} and
// {x3, x4} using every encoder, and prints the sizes of the encodings.
#include <iostream>

#include "quillet/quillet.hpp"

int main() {
    quillet::GroupedLeqConstraint constraint;
    constraint.terms = {{1, 3}, {2, 5}, {3, 2}, {4, 6}};
    constraint.groups = {{1, 2}, {3, 4}};
    constraint.bound = 7;

    for (const std::string& name : quillet::available_encoders()) {
        try {
            const auto encoder = quillet::make_encoder(name);
            const quillet::EncodeResult result = encoder->encode(constraint, quillet::EncodeOptions{4});
            std::cout << name << ": " << result.num_clauses() << " clauses, " << result.num_aux_vars()
                      << " auxiliary variables\n";
        } catch (const std::exception& error) {
            std::cout << name << ": " << error.what() << '\n';
            return 1;
        }
    }
    return 0;
}
