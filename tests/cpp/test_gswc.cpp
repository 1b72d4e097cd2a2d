// Tests of the gswc encoder.
#include <gtest/gtest.h>

#include "helpers.hpp"
