// Tests of the rggt encoder.
#include <gtest/gtest.h>

#include "helpers.hpp"
