// Placeholder until the rggt construction lands.
#include <stdexcept>

#include "quillet/encoders.hpp"

namespace quillet {

EncodeResult RggtEncoder::encode(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const {
    Encoding encoding(constraint, options);
    throw std::logic_error("quillet: the rggt encoder is not available yet");
}

}  // namespace quillet
