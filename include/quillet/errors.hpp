// The errors the library throws. Every message starts with "quillet: ", and
// every class derives from the standard exception a caller would catch
// without knowing this header, so code that catches std::invalid_argument
// or std::length_error keeps working:
//
//   InvalidConstraint  std::invalid_argument  the input breaks a rule (validation, top_id, an unknown name)
//   EncodingTooLarge   std::length_error      the encoding would pass the size budget
//   EncoderLimit       std::overflow_error    the encoder cannot represent this constraint
//   IdsExhausted       EncoderLimit           fresh variable ids would pass 2^31-1
//   Cancelled          std::runtime_error     EncodeOptions::stop asked the encode to end
//   InternalError      std::logic_error       a broken invariant that valid input never reaches
//
// Allocation failures pass through as std::bad_alloc.
#pragma once

#include <stdexcept>
#include <string>

namespace quillet {

class InvalidConstraint : public std::invalid_argument {
public:
    explicit InvalidConstraint(const std::string& what) : std::invalid_argument(what) {}
};

class EncodingTooLarge : public std::length_error {
public:
    explicit EncodingTooLarge(const std::string& what) : std::length_error(what) {}
};

class EncoderLimit : public std::overflow_error {
public:
    explicit EncoderLimit(const std::string& what) : std::overflow_error(what) {}
};

class IdsExhausted : public EncoderLimit {
public:
    explicit IdsExhausted(const std::string& what) : EncoderLimit(what) {}
};

class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("quillet: encoding cancelled") {}
};

class InternalError : public std::logic_error {
public:
    explicit InternalError(const std::string& what) : std::logic_error(what) {}
};

}  // namespace quillet
