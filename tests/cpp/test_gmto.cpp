// Tests of the gmto encoder.
#include <gtest/gtest.h>

#include "helpers.hpp"
