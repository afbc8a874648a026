#include <gtest/gtest.h>
#include "TLVParser.h"
TEST(Smoke, Parses) { kvitor::TTLVParser p; p.Parse(std::string("\xEA\x03\x01\x00\x01", 5)); EXPECT_EQ(p.Tags().Count(), 1); }
