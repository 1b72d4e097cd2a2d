// The concrete encoders. All are stateless: one object may serve any number
// of calls, from any number of threads. Callers reach them through the
// registry (make_encoder); the classes are private to the library.
#pragma once

#include "quillet/encoder.hpp"

namespace quillet {

#define QUILLET_DECLARE_ENCODER(Class, short_name)                                        \
    class Class final : public Encoder {                                                   \
    public:                                                                                \
        static constexpr std::string_view kName = short_name;                              \
        std::string_view name() const override { return kName; }                           \
                                                                                           \
    protected:                                                                             \
        void build(const GroupedLeqConstraint& constraint, Encoding& encoding) const override; \
    };

// Multi-valued decision diagram, one level per group.
QUILLET_DECLARE_ENCODER(MddEncoder, "mdd")
// Generalised sequential weight counter: a chain of unary registers.
QUILLET_DECLARE_ENCODER(GswcEncoder, "gswc")
// Generalised polynomial watchdog: binary digits, one totalizer per bit.
QUILLET_DECLARE_ENCODER(GgpwEncoder, "ggpw")
// Generalised modulo totalizer: mixed-radix digits in a balanced tree.
QUILLET_DECLARE_ENCODER(GmtoEncoder, "gmto")
// Reduced generalised totalizer: a tree shaped by value-set growth.
QUILLET_DECLARE_ENCODER(RggtEncoder, "rggt")

#undef QUILLET_DECLARE_ENCODER

}  // namespace quillet
