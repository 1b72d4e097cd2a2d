// Placeholder until the ggpw construction lands.
#include <stdexcept>

#include "quillet/encoders.hpp"

namespace quillet {

EncodeResult GgpwEncoder::encode(const GroupedLeqConstraint& constraint, const EncodeOptions& options) const {
    Encoding encoding(constraint, options);
    throw std::logic_error("quillet: the ggpw encoder is not available yet");
}

}  // namespace quillet
