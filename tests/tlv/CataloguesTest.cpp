// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "TlvTestUtil.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"
#include "tlv/TLVParser.h"

namespace kvitor {
namespace {

std::string Name(const TTLVParser& parser, int tag) {
  return std::string(parser.Dictionary().FindTag(tag)->Info().ShortName);
}

std::string LineOf(TTLVParser& parser, uint16_t tag, const std::string& value) {
  parser.Parse(test::Tlv(tag, value));
  return Cp1251ToUtf8(parser.Tags().Items(0).TagText(true));
}

TEST(Catalogues, EnglishCatalogueTranslatesNamesAndValueTexts) {
  KVITOR_NEED_LOCALE("en_US.UTF-8");
  std::optional<std::string> language;
  if (const char* old = std::getenv("LANGUAGE")) language = old;
  InitMessageCatalogues(KVITOR_LOCALE_PARENT);
  ::setenv("LANGUAGE", "en", 1);
  TTLVParser before;  // filled while the C locale keeps the built-in texts
  {
    const test::LocaleGuard locale("en_US.UTF-8");
    EXPECT_TRUE(locale.Ok());
    TTLVParser english;
    EXPECT_NE(Name(english, 1020), "ИТОГ");
    EXPECT_NE(Name(english, 103), "Кассовый чек");
    EXPECT_NE(PaymentKindName(1), "Приход");
    EXPECT_NE(LineOf(english, 1054, "\x01"), "1054,ПРИЗН. РАСЧЕТА:1 (Приход)");
    EXPECT_NE(LineOf(english, 1019, ""), "1019,НЕИЗВЕСТНЫЙ ТЕГ");
    const std::string vat = Name(english, 1102);  // the rate behind a translated prefix
    EXPECT_TRUE(vat != "СУММА НДС 20%" && vat.ends_with(" 20%")) << vat;
    for (const int outer : {65001, 65002, 65011, 65012}) {  // names kept, descriptions not
      EXPECT_EQ(Name(english, outer), Name(before, outer)) << outer;
      EXPECT_NE(english.Dictionary().FindTag(outer)->Info().Description,
                before.Dictionary().FindTag(outer)->Info().Description);
    }
    EXPECT_EQ(Name(before, 1020), "ИТОГ");  // an earlier fill keeps its texts
  }
  {
    const test::LocaleGuard locale("C");
    TTLVParser builtIn;
    EXPECT_EQ(Name(builtIn, 1020), "ИТОГ");
    EXPECT_EQ(PaymentKindName(1), "Приход");
    EXPECT_EQ(LineOf(builtIn, 1054, "\x01"), "1054,ПРИЗН. РАСЧЕТА:1 (Приход)");
  }
  if (language)
    ::setenv("LANGUAGE", language->c_str(), 1);
  else
    ::unsetenv("LANGUAGE");
}

}  // namespace
}  // namespace kvitor
