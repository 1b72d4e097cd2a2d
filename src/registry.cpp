#include <stdexcept>

#include "quillet/encoders.hpp"

namespace quillet {

std::unique_ptr<Encoder> make_encoder(const std::string_view name) {
    if (name == "mdd") return std::make_unique<MddEncoder>();
    if (name == "gswc") return std::make_unique<GswcEncoder>();
    if (name == "ggpw") return std::make_unique<GgpwEncoder>();
    if (name == "gmto") return std::make_unique<GmtoEncoder>();
    if (name == "rggt") return std::make_unique<RggtEncoder>();
    throw std::invalid_argument("quillet: unknown encoder name");
}

std::vector<std::string> available_encoders() { return {"mdd", "gswc", "ggpw", "gmto", "rggt"}; }

}  // namespace quillet
