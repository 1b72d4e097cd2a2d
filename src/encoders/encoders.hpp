// The registry's table: one row per encoder, and nothing else names the
// encoders. Each row gives the class (defined in the encoder's own source
// under src/encoders/), the name that make_encoder takes, the module
// constant, a summary of the construction, and how "auto" tries it: the
// kind of trial, its place in the search, and the largest number of groups
// it is tried on (0: any). The rows expand into the class declarations below
// and into the table of registry.cpp, so a new encoder is one source file
// and one row here.
//
// "auto" counts the closed-form encoders first, so that the others start
// under a tight budget, then tries the rest by the cost of finding out that
// they lose. rggt is tried only up to 8 groups: past a handful of groups its
// output is larger than gmto's on every family of the benchmark, while its
// tree shaping, which runs before its size is known, costs more than gmto's
// whole encode.
#pragma once

#include "quillet/encoder.hpp"

#define QUILLET_ENCODER_TABLE(ROW)                                                                               \
    ROW(MddEncoder, "mdd", "ENC_MDD", "multi-valued decision diagram, one level per group", measure, 3, 0)      \
    ROW(GswcEncoder, "gswc", "ENC_GSWC", "generalised sequential weight counter", count, 0, 0)                  \
    ROW(GgpwEncoder, "ggpw", "ENC_GGPW", "generalised polynomial watchdog: base-2 digits", count, 1, 0)         \
    ROW(GmtoEncoder, "gmto", "ENC_GMTO", "generalised modulo totalizer: mixed-radix digits", build, 2, 0)       \
    ROW(RggtEncoder, "rggt", "ENC_RGGT", "reduced generalised totalizer over value sets", measure, 4, 8)

namespace quillet {

// Stateless: one object may serve any number of calls, from any number of
// threads. Callers reach them through the registry; the classes are private
// to the library.
#define QUILLET_DECLARE_ENCODER(Class, short_name, constant, summary, trial, rank, max_groups)     \
    class Class final : public Encoder {                                                            \
    public:                                                                                         \
        std::string_view name() const override { return short_name; }                              \
                                                                                                    \
    protected:                                                                                      \
        void build(const GroupedLeqConstraint& constraint, Encoding& encoding) const override;      \
    };
QUILLET_ENCODER_TABLE(QUILLET_DECLARE_ENCODER)
#undef QUILLET_DECLARE_ENCODER

}  // namespace quillet
