// Placeholder until the gswc construction lands.
#include <stdexcept>

#include "quillet/encoders.hpp"

namespace quillet {

EncodeResult GswcEncoder::encode(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const {
    Encoding encoding(constraint, options);
    throw std::logic_error("quillet: the gswc encoder is not available yet");
}

}  // namespace quillet
