// Tests of the ggpw encoder.
#include <gtest/gtest.h>

#include "helpers.hpp"
