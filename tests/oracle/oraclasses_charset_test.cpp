// The cut of a text longer than its field in each double-byte client character set, held against
// an independent reading of the set: ICU's converter of it.
#include <gtest/gtest.h>
#include <unicode/ucnv.h>
#include <unicode/utf16.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dataset/variant.h"
#include "oracle/oraclasses.h"

namespace oracle {
namespace {

struct ConverterClose {
  void operator()(UConverter* c) const { ucnv_close(c); }
};

// Every character the converter of `converter` writes, each kept whole or dropped whole by the cut
// of the set `charset`: twice over, a text cut at each width from nothing to the character's
// length and one past it keeps the character only from its length on. The lead and trail bytes of
// every character of the set meet the cut, so a lead byte the cut reads wrong shows.
void expectWholeCharacters(const char* charset, const char* converter) {
  SCOPED_TRACE(charset);
  const dataset::NarrowText encoding = NarrowTextOfCharset(charset);
  ASSERT_NE(encoding, dataset::NarrowText::Utf8);
  UErrorCode error = U_ZERO_ERROR;
  std::unique_ptr<UConverter, ConverterClose> c(ucnv_open(converter, &error));
  ASSERT_TRUE(U_SUCCESS(error)) << converter << ": " << u_errorName(error);
  ucnv_setFromUCallBack(c.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &error);
  int characters = 0;
  std::vector<std::string> wrong;
  for (UChar32 cp = 0; cp <= 0x10FFFF; ++cp) {
    if (U_IS_SURROGATE(cp)) continue;
    UChar units[2];
    int32_t unitCount = 0;
    U16_APPEND_UNSAFE(units, unitCount, cp);
    char bytes[8];
    error = U_ZERO_ERROR;
    ucnv_resetFromUnicode(c.get());
    const int32_t length = ucnv_fromUChars(c.get(), bytes, sizeof bytes, units, unitCount, &error);
    if (U_FAILURE(error) || length == 0) continue;
    ++characters;
    const std::string one(bytes, size_t(length));
    const std::string text = one + one;
    for (size_t width = 0; width <= one.size(); ++width) {
      const size_t kept = dataset::fittingTextLength(text, width, encoding);
      if (kept != (width < one.size() ? 0 : one.size()) && wrong.size() < 10) {
        std::string hex;
        for (char b : one) {
          char two[4];
          std::snprintf(two, sizeof two, " %02X", unsigned(uint8_t(b)));
          hex += two;
        }
        wrong.push_back("bytes" + hex + " cut at " + std::to_string(width) + " kept " + std::to_string(kept));
      }
    }
  }
  EXPECT_GT(characters, 8000);
  EXPECT_TRUE(wrong.empty()) << wrong.front();
}

TEST(ClientCharsetTest, EveryCharacterOfADoubleByteSetIsKeptWholeOrDroppedWhole) {
  expectWholeCharacters("JA16SJIS", "ibm-943_P15A-2003");
  expectWholeCharacters("JA16SJISTILDE", "windows-31j");
  expectWholeCharacters("JA16EUC", "ibm-33722_P12A_P12A-2009_U2");
  expectWholeCharacters("ZHT32EUC", "ibm-964_P110-1999");
  expectWholeCharacters("ZHS16GBK", "windows-936-2000");
  expectWholeCharacters("ZHT16BIG5", "ibm-1373_P100-2002");
  expectWholeCharacters("ZHT16MSWIN950", "windows-950-2000");
  expectWholeCharacters("ZHT16HKSCS", "ibm-1375_P100-2008");
  expectWholeCharacters("KO16MSWIN949", "windows-949-2000");
  expectWholeCharacters("KO16KSC5601", "ibm-970_P110_P110-2006_U2");
  expectWholeCharacters("ZHS16CGB231280", "ibm-1383_P110-1999");
  expectWholeCharacters("ZHS32GB18030", "gb18030");
}

}  // namespace
}  // namespace oracle
