// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/StringUtils.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/Error.h"

namespace kvitor {
namespace {

// One descriptor per thread and direction: iconv_t keeps shift state and must
// not be shared between threads, and opening one costs far more than a line.
class Converter {
 public:
  Converter(const char* to, const char* from) : to_(to), from_(from), cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw Error(std::string("iconv cannot convert from ") + from + " to " + to);
    }
  }
  ~Converter() { iconv_close(cd_); }
  [[nodiscard]] bool Converts(const char* to, const char* from) const {
    return to_ == to && from_ == from;
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // unit: the size in bytes of one character of the source's encoding step to
  // skip over when a character cannot be converted.
  std::string Run(const char* data, std::size_t size, std::size_t unit) {
    std::string out;
    out.resize(size * 2 + 16);
    char* in = const_cast<char*>(data);
    std::size_t inLeft = size;
    std::size_t used = 0;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    while (true) {
      char* outPtr = out.data() + used;
      std::size_t outLeft = out.size() - used;
      const std::size_t r = inLeft == 0 ? iconv(cd_, nullptr, nullptr, &outPtr, &outLeft)
                                        : iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
      used = out.size() - outLeft;
      if (r != static_cast<std::size_t>(-1)) {
        if (inLeft == 0) break;
        continue;
      }
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
      } else if (errno == EILSEQ || errno == EINVAL) {
        if (out.size() - used < 4) out.resize(out.size() * 2);
        AppendSubstitute(out, used);
        const std::size_t skip = std::min(inLeft, SkipLength(in, inLeft, unit));
        in += skip;
        inLeft -= skip;
      } else {
        throw Error(std::string("iconv: ") + std::strerror(errno));
      }
    }
    out.resize(used);
    return out;
  }

 private:
  void AppendSubstitute(std::string& out, std::size_t& used) {
    if (out.size() - used < substitute_.size()) out.resize(out.size() + substitute_.size() * 2);
    std::memcpy(out.data() + used, substitute_.data(), substitute_.size());
    used += substitute_.size();
  }

  static std::size_t SkipLength(const char* in, std::size_t left, std::size_t unit) {
    if (unit == 0) {  // UTF-8: skip the whole sequence, or one stray byte
      const auto lead = static_cast<unsigned char>(in[0]);
      std::size_t n = 1;
      if (lead >= 0xF0 && lead < 0xF8)
        n = 4;
      else if (lead >= 0xE0)
        n = 3;
      else if (lead >= 0xC0)
        n = 2;
      for (std::size_t i = 1; i < n && i < left; ++i) {
        if ((static_cast<unsigned char>(in[i]) & 0xC0) != 0x80) return i;
      }
      return n;
    }
    if (unit == 2 && left >= 4) {  // UTF-16: a surrogate pair is one character
      const auto hi = static_cast<unsigned char>(in[1]);
      if (hi >= 0xD8 && hi <= 0xDB) return 4;
    }
    return unit;
  }

  const std::string to_;
  const std::string from_;
  iconv_t cd_;
  const std::string substitute_ = "?";
};

// The directions in use; the locale's code set is looked up once per thread.
enum Direction {
  k866To8,
  k8To1251,
  k1251To8,
  k16To1251,
  k1251To16,
  k8To16,
  k16To8,
  kLocaleTo8,
  k8ToLocale,
  kCount
};

Converter& Get(Direction d, const char* to, const char* from) {
  thread_local std::array<std::unique_ptr<Converter>, kCount> cache;
  auto& slot = cache[d];
  // The locale's code set can change between calls.
  if (!slot || !slot->Converts(to, from)) slot = std::make_unique<Converter>(to, from);
  return *slot;
}

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// char16_t is held in host order, and the hosts we build for are little-endian.
static_assert(std::endian::native == std::endian::little);

std::string Bytes(std::u16string_view text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

std::u16string ToU16(const std::string& bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

const char* LocaleCodeset() {
  const char* cs = nl_langinfo(CODESET);
  return (cs != nullptr && *cs != '\0') ? cs : "ANSI_X3.4-1968";
}

}  // namespace

std::string FixedWidthString(std::string_view s, int width) {
  if (width <= 0) return {};
  const auto w = static_cast<std::size_t>(width);
  std::string out(s.substr(0, w));
  out.resize(w, ' ');
  return out;
}

std::string Cp866ToUtf8(std::string_view bytes) {
  if (IsAscii(bytes)) return std::string(bytes);
  return Get(k866To8, "UTF-8", "CP866").Run(bytes.data(), bytes.size(), 1);
}

const std::array<char, 256>& Cp866ToCp1251Table() {
  // Both are single-byte code pages: a table made once with iconv gives the
  // same result as converting the whole text, without its cost per value.
  static const std::array<char, 256> table = [] {
    std::array<char, 256> t{};
    for (int b = 0; b < 256; ++b) {
      const char c = static_cast<char>(b);
      const std::string converted = Utf8ToCp1251(Cp866ToUtf8(std::string_view(&c, 1)));
      t[static_cast<std::size_t>(b)] = converted.size() == 1 ? converted[0] : '?';
    }
    return t;
  }();
  return table;
}

std::string Cp866ToCp1251(std::string_view bytes) {
  const std::array<char, 256>& table = Cp866ToCp1251Table();
  std::string out(bytes);
  for (char& c : out) c = table[static_cast<unsigned char>(c)];
  return out;
}

std::string Utf8ToCp1251(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  return Get(k8To1251, "CP1251", "UTF-8").Run(text.data(), text.size(), 0);
}

std::string Cp1251ToUtf8(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  return Get(k1251To8, "UTF-8", "CP1251").Run(text.data(), text.size(), 1);
}

std::string Utf16ToCp1251(std::u16string_view text) {
  // Most texts from the driver are ASCII, which the code page keeps as it is.
  if (std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; })) {
    std::string narrow(text.size(), '\0');
    std::transform(text.begin(), text.end(), narrow.begin(),
                   [](char16_t c) { return static_cast<char>(c); });
    return narrow;
  }
  const std::string bytes = Bytes(text);
  return Get(k16To1251, "CP1251", "UTF-16LE").Run(bytes.data(), bytes.size(), 2);
}

std::u16string Cp1251ToUtf16(std::string_view text) {
  return ToU16(Get(k1251To16, "UTF-16LE", "CP1251").Run(text.data(), text.size(), 1));
}

std::u16string Utf8ToUtf16(std::string_view text) {
  return ToU16(Get(k8To16, "UTF-16LE", "UTF-8").Run(text.data(), text.size(), 0));
}

std::string Utf16ToUtf8(std::u16string_view text) {
  const std::string bytes = Bytes(text);
  return Get(k16To8, "UTF-8", "UTF-16LE").Run(bytes.data(), bytes.size(), 2);
}

std::string LocaleToUtf8(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  return Get(kLocaleTo8, "UTF-8", LocaleCodeset()).Run(text.data(), text.size(), 1);
}

std::string Utf8ToLocale(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  return Get(k8ToLocale, LocaleCodeset(), "UTF-8").Run(text.data(), text.size(), 0);
}

}  // namespace kvitor
