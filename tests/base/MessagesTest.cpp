// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "base/Messages.h"

#include <gtest/gtest.h>

#include <string>

namespace kvitor {
namespace {

// Translations may reorder or repeat the arguments; what is no placeholder
// stays as written.
TEST(Messages, FmtFillsPlaceholdersInOrderOrByPosition) {
  EXPECT_EQ(Fmt("Документ %s: %s байт", 7, std::string("x")), "Документ 7: x байт");
  EXPECT_EQ(Fmt("%d, %s", -3, std::string("нет")), "-3, нет");
  EXPECT_EQ(Fmt("%2$s at %1$s baud, set %2$s", 9600, std::string("/dev/ttyS0")),
            "/dev/ttyS0 at 9600 baud, set /dev/ttyS0");
  EXPECT_EQ(Fmt("100%% of %s", 5), "100% of 5");
  // A placeholder without an argument, or an unknown one, is left as it is.
  EXPECT_EQ(Fmt("%s and %s, 3 %x", 1), "1 and %s, 3 %x");
  EXPECT_EQ(Fmt("ends in %"), "ends in %");
}

}  // namespace
}  // namespace kvitor
