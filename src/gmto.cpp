// Placeholder until the gmto construction lands.
#include <stdexcept>

#include "quillet/encoders.hpp"

namespace quillet {

EncodeResult GmtoEncoder::encode(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const {
    Encoding encoding(constraint, options);
    throw std::logic_error("quillet: the gmto encoder is not available yet");
}

}  // namespace quillet
