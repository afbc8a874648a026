// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <string>

#include "base/DateTime.h"

namespace kvitor {

// The user's short date (nl_langinfo(D_FMT)) and long time (T_FMT) of the
// LC_TIME locale, as UTF-8.
[[nodiscard]] std::string FormatShortDate(TDateTime value);
[[nodiscard]] std::string FormatLongTime(TDateTime value);
// Append what FormatShortDate and FormatLongTime give for these parts, when
// the locale's format has numeric fields only, as most have; otherwise they
// append nothing and return false. A report renders a date on every receipt.
bool AppendShortDateNumeric(std::string& out, const TDateTimeParts& parts);
bool AppendLongTimeNumeric(std::string& out, const TDateTimeParts& parts);

}  // namespace kvitor
