// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "base/Messages.h"

#include <libintl.h>

namespace kvitor {

namespace {
constexpr const char* kDomain = "default";
}

void InitMessageCatalogues(const std::string& programFolder) {
  bindtextdomain(kDomain, (programFolder + "locale").c_str());
  bind_textdomain_codeset(kDomain, "UTF-8");
}

const char* Tr(const char* text) {
  // An empty msgid would fetch the catalogue's header.
  return *text == '\0' ? text : dgettext(kDomain, text);
}

const char* TrEn(const char* text) { return Tr(text); }

std::string FormatMessage(std::string_view pattern, std::initializer_list<std::string> args) {
  std::string out;
  out.reserve(pattern.size() + 32);
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      out += pattern[i];
      continue;
    }
    std::size_t at = i + 1;
    std::size_t index = next;
    if (pattern[at] >= '1' && pattern[at] <= '9') {
      std::size_t n = 0;
      std::size_t digits = at;
      while (digits < pattern.size() && pattern[digits] >= '0' && pattern[digits] <= '9')
        n = n * 10 + static_cast<std::size_t>(pattern[digits++] - '0');
      if (digits < pattern.size() && pattern[digits] == '$') {
        index = n - 1;
        at = digits + 1;
      }
    }
    const char kind = at < pattern.size() ? pattern[at] : '\0';
    if (kind == '%' && at == i + 1) {
      out += '%';
      i = at;
    } else if ((kind == 's' || kind == 'd') && index < args.size()) {
      out += args.begin()[index];
      if (index == next) ++next;
      i = at;
    } else {
      out += '%';
    }
  }
  return out;
}

}  // namespace kvitor
