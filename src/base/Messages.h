// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <concepts>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kvitor {

// Binds the message catalogue domain "default" to <folder>/locale, with UTF-8
// results. Without a catalogue every text stays as built in.
void InitMessageCatalogues(const std::string& programFolder);

// The translation of a built-in text (UTF-8), or the text itself. Tr marks a
// text written in Russian (translated by the English catalogue), TrEn one
// written in English: the system's own messages that name files and the
// command line's usage, translated by the Russian catalogue.
[[nodiscard]] const char* Tr(const char* text);
[[nodiscard]] const char* TrEn(const char* text);
// Marks a text of a table for the catalogue; Tr translates it where it is used.
constexpr const char* TrLater(const char* text) { return text; }

// The pattern with each %s or %d replaced by the next argument, %N$s or %N$d by
// the N-th (a translation may put them in another order), %% by '%'.
[[nodiscard]] std::string FormatMessage(std::string_view pattern,
                                        std::initializer_list<std::string> args);

namespace detail {
inline std::string MessageArg(std::string text) { return text; }
inline std::string MessageArg(std::integral auto value) { return std::to_string(value); }
}  // namespace detail

template <typename... Args>
[[nodiscard]] std::string Fmt(std::string_view pattern, const Args&... args) {
  return FormatMessage(pattern, {detail::MessageArg(args)...});
}

}  // namespace kvitor
