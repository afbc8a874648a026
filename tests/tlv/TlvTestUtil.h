// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <clocale>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace kvitor::test {

// Bytes from hexadecimal pairs, blanks ignored: Hex("EA 03") is "\xEA\x03".
inline std::string Hex(std::string_view text) {
  std::string out;
  std::string pair;
  for (const char c : text) {
    if (c == ' ') continue;
    pair += c;
    if (pair.size() == 2) {
      out += static_cast<char>(std::stoi(pair, nullptr, 16));
      pair.clear();
    }
  }
  return out;
}

// One TLV item, written by hand rather than by the encoder under test.
inline std::string Tlv(uint16_t tag, std::string_view value) {
  const auto length = static_cast<uint16_t>(value.size());
  std::string out{static_cast<char>(tag & 0xFF), static_cast<char>(tag >> 8),
                  static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)};
  return out.append(value);
}

// The message of the Error that call raises.
template <typename Call>
std::string ErrorText(Call&& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Switches the process locale for one scope and puts the old one back.
// Tests that need a locale skip when it is not installed (KVITOR_NEED_LOCALE).
class LocaleGuard {
 public:
  explicit LocaleGuard(const char* name)
      : saved_(std::setlocale(LC_ALL, nullptr)), ok_(std::setlocale(LC_ALL, name) != nullptr) {}
  ~LocaleGuard() { std::setlocale(LC_ALL, saved_.c_str()); }
  LocaleGuard(const LocaleGuard&) = delete;
  LocaleGuard& operator=(const LocaleGuard&) = delete;
  [[nodiscard]] bool Ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_;
};

}  // namespace kvitor::test

// Skips the running test when the named locale is not installed, as in a
// distribution's build chroot.
#define KVITOR_NEED_LOCALE(name)                                                  \
  do {                                                                            \
    if (!::kvitor::test::LocaleGuard(name).Ok())                                  \
      GTEST_SKIP() << "the locale " << (name) << " is not installed (locale -a)"; \
  } while (false)
