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

// A damaged text (a lead byte before bytes that cannot continue its character, as a database
// holding bytes of no set hands them over) is read as the set's converters read it: the lead stands
// alone and the next character starts right after it, so the cut never keeps the lead byte of a
// character it cuts off, nor drops a whole character that fits.
TEST(ClientCharsetTest, ADamagedTextIsCutWhereTheSetsConvertersReadItsCharacters) {
  struct Case {
    const char* charset;
    std::string text;
    size_t width;
    std::string kept;
  };
  const Case cases[] = {
      // 0x8F leads three bytes, but "A" cannot be its second: 0xA4 0xA2 is the next character.
      {"JA16EUC",
       "a\x8F"
       "A\xA4\xA2x",
       4,
       "a\x8F"
       "A"},
      {"JA16EUC",
       "a\x8F"
       "A\xA4\xA2x",
       5,
       "a\x8F"
       "A\xA4\xA2"},
      // 0xB0 leads two bytes, but 0x8F cannot be its second: 0x8F starts a character of three.
      {"JA16EUC", "\xB0\x8F\xB0\xA1x", 3, "\xB0"},
      {"JA16EUC", "\xB0\x8F\xB0\xA1x", 4, "\xB0\x8F\xB0\xA1"},
      // 0x8E leads four bytes only before a plane byte 0xA1-0xB0.
      {"ZHT32EUC",
       "\x8E"
       "AA\xC4\xE3x",
       4,
       "\x8E"
       "AA"},
      {"ZHT32EUC",
       "\x8E"
       "AA\xC4\xE3x",
       5,
       "\x8E"
       "AA\xC4\xE3"},
      {"ZHT32EUC",
       "\xC4"
       "A\xC4\xE3x",
       3,
       "\xC4"
       "A"},
      // A lead and a digit start a four-byte character only when a lead and a digit follow.
      {"ZHS32GB18030",
       "\x81"
       "0A\xC4\xE3x",
       4,
       "\x81"
       "0A"},
      {"ZHS32GB18030",
       "\x81"
       "0A\xC4\xE3x",
       5,
       "\x81"
       "0A\xC4\xE3"},
      {"ZHS32GB18030",
       "\x81"
       "0\x81"
       "A\xC4\xE3",
       5,
       "\x81"
       "0\x81"
       "A"},
      // Whole characters of each kind still go whole.
      {"JA16EUC", "\x8F\xB0\xA1\x8F\xB0\xA1", 5, "\x8F\xB0\xA1"},
      {"ZHT32EUC", "\x8E\xA2\xA1\xA1\x8E\xA2\xA1\xA1", 7, "\x8E\xA2\xA1\xA1"},
      {"ZHS32GB18030", "\x81\x30\x81\x30\x81\x30\x81\x30", 7, "\x81\x30\x81\x30"},
  };
  for (const Case& k : cases) {
    const size_t kept = dataset::fittingTextLength(k.text, k.width, NarrowTextOfCharset(k.charset));
    EXPECT_EQ(k.text.substr(0, kept), k.kept) << k.charset << " at " << k.width;
  }
}

}  // namespace
}  // namespace oracle
