// Everything a user of the library needs.
#pragma once

#include "quillet/cnf.hpp"
#include "quillet/constraint.hpp"
#include "quillet/encoder.hpp"
#include "quillet/errors.hpp"
