#include "engine/base/veldorhelpers.h"
#include "engine/storage/veldorhelpers_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <locale>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "platform/faultfs.h"
#include "tests/engine/storage/storage_test_util.h"

namespace engine {
namespace {

using namespace std::chrono;

// ---- Character classes and sets ----

TEST(CharacterClasses, IdentifiersTakeEveryByteOfAUtf8Letter) {
  EXPECT_TRUE(IsIdentStartChar(200));
  EXPECT_FALSE(IsIdentStartChar(255));
  EXPECT_TRUE(IsIdentStartChar('_'));
  EXPECT_FALSE(IsIdentStartChar('5'));
  EXPECT_TRUE(IsIdentChar('5'));
  for (uint8_t c : std::string("é€"))  // every byte of these UTF-8 letters
    EXPECT_TRUE(IsIdentChar(c));
}

TEST(CharacterClasses, SetsRoundTripThroughText) {
  TCharSet set = StringToCharSet("cabba\x01\xff");
  EXPECT_EQ(CharSetToString(set),
            "\x01"
            "abc\xff");
  EXPECT_EQ(StringToCharSet(CharSetToString(GetDefaultSpaceChars())), GetDefaultSpaceChars());
  std::string zero(1, '\0');
  EXPECT_EQ(CharSetToString(StringToCharSet(zero)), "") << "byte 0 is never written";
}

// ---- Text helpers ----

TEST(TextHelpers, PiecesOfTextNeverSplitACharacter) {
  EXPECT_EQ(LeftStr("aé", 2), "a");
  EXPECT_EQ(RightStr("éa", 2), "a");
  EXPECT_EQ(RightStr("abc", 10), "abc");
  EXPECT_EQ(EngineString(std::string(300, 'x')).size(), 255u);
  std::string letters;
  for (int i = 0; i < 200; ++i) letters += "é";
  EXPECT_EQ(EngineString(letters).size(), 254u);
}

TEST(TextHelpers, OccurrencesDoNotOverlapAndReplacementsMatchTheirLength) {
  EXPECT_EQ(StrOccurrences("aa", "aaaaa"), 2u);
  EXPECT_EQ(StrOccurrences("", "aaaaa"), 0u);
  EXPECT_EQ(StrReplaceAll("aa", "b", "aaaaa"), "bba");
  EXPECT_EQ(StrReplacedLength("aa", "b", "aaaaa"), 3u);
  EXPECT_EQ(StrReplaceAll("x", "xyz", "axbx"), "axyzbxyz");
  EXPECT_EQ(StrReplacedLength("x", "xyz", "axbx"), 8u);
  EXPECT_EQ(StrReplaceAll("", "q", "abc"), "abc");
}

TEST(TextHelpers, CollapseDoubledQuotesLeavesTheFirstCharacterAlone) {
  EXPECT_EQ(CollapseDoubledQuotes("''"), "''") << "shorter than 3";
  EXPECT_EQ(CollapseDoubledQuotes("'a''b'"), "'a'b'");
  EXPECT_EQ(CollapseDoubledQuotes("x\"\"\"\""), "x\"\"");
  EXPECT_EQ(CollapseDoubledQuotes("'''"), "''") << "the pair at positions 2-3 collapses, position 1 stays";
  EXPECT_EQ(CollapseDoubledQuotes("a'\"b"), "a'\"b") << "mixed quotes are no pair";
}

TEST(TextHelpers, StringListsCompareIgnoringCaseAndCopyWithTheirNumbers) {
  TLanguageStringList a(0x0409, 0), b(0x0409, 0);
  a.add("One", 1);
  a.add("two", 2);
  b.add("ONE");
  b.add("Two");
  EXPECT_TRUE(SameStringLists(0x0409, 0, &a, &b));
  EXPECT_TRUE(SameStringLists(0x0409, 0, nullptr, nullptr));
  EXPECT_FALSE(SameStringLists(0x0409, 0, &a, nullptr));
  b.add("three");
  EXPECT_FALSE(SameStringLists(0x0409, 0, &a, &b));
  TLanguageStringList copy;
  CopyList(a, copy);
  EXPECT_TRUE(SameStringLists(0x0409, 0, &a, &copy));
  EXPECT_EQ(copy.number(1), 2u);
}

// ---- Paths ----

TEST(PathHelpers, DelimitersAreAddedAsSlashAndRecognisedEitherWay) {
  EXPECT_EQ(IncludePathDelimiter(" /tmp/db "), "/tmp/db/");
  EXPECT_EQ(IncludePathDelimiter("C:\\db\\"), "C:\\db\\");
  EXPECT_EQ(IncludePathDelimiter(""), "");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("db\\"), "db");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/") << "the root stays the root";
  EXPECT_TRUE(IsPathName("db\\task"));
  EXPECT_TRUE(IsPathName("/tmp/task"));
  EXPECT_TRUE(IsPathName("c:task"));
  EXPECT_TRUE(IsPathName("  ")) << "no name at all is the folder itself";
  EXPECT_FALSE(IsPathName("task"));
  EXPECT_FALSE(IsPathName(" task.dat "));
}

TEST(PathHelpers, ExtensionsAreRemovedOnlyFromTheFileName) {
  EXPECT_EQ(RemoveFileExt("C:\\db.d\\task", ""), "C:\\db.d\\task");
  EXPECT_EQ(RemoveFileExt("/tmp/task.dat", ".DAT"), "/tmp/task");
  EXPECT_EQ(RemoveFileExt("/tmp/task.dat", ".IDX"), "/tmp/task.dat");
  EXPECT_EQ(ForceFileExt(" task.dat ", ".DAT", ".DBK"), "task.DBK");
  EXPECT_EQ(ForceFileExt("TASK.DAT", ".IDX", ".DBK"), "TASK.DAT.DBK");
  EXPECT_EQ(ExtractFileBaseName("c:task.DAT", ".IDX"), "task.DAT");
}

// A path on disk keeps every byte, and agrees with the engine-string form wherever that fits.
TEST(PathHelpers, APathsExtensionIsChangedWithoutCuttingThePath) {
  const std::string folder = "/" + std::string(240, 'f') + "/";
  const std::pair<std::string, std::string> names[] = {
      {"t", "t.JNL"},
      {"task_with_a_longer_name", "task_with_a_longer_name.JNL"},
      {"a.b.DAT", "a.b.JNL"},
      {std::string(300, 'n') + ".dat", std::string(300, 'n') + ".JNL"}};
  for (const auto& [name, journal] : names) {
    const std::string changed = ForcePathExt(" " + folder + name + " ", ".DAT", ".JNL");
    EXPECT_EQ(changed, folder + journal) << name;
    EXPECT_EQ(ForceFileExt(folder + name, ".DAT", ".JNL"), changed.substr(0, kEngineStringLength)) << name;
  }
  for (size_t length = 240; length <= 260; ++length) {
    const std::string path = "/" + std::string(length - 5, 'p') + ".dat";
    ASSERT_EQ(path.size(), length);
    const std::string changed = ForcePathExt(path, ".DAT", ".JNL");
    EXPECT_EQ(changed.size(), length);
    if (length <= kEngineStringLength) {
      EXPECT_EQ(ForceFileExt(path, ".DAT", ".JNL"), changed) << length;
    }
  }
  // A character that the engine's length would split goes whole.
  const std::string straddling = std::string(kEngineStringLength - 1, 'n') + "\xC3\xA9.dat";
  EXPECT_EQ(ForceFileExt(straddling, ".DAT", ".JNL"), std::string(kEngineStringLength - 1, 'n'));
  EXPECT_EQ(ForcePathExt(straddling, ".DAT", ".JNL"),
            std::string(kEngineStringLength - 1, 'n') + "\xC3\xA9.JNL");
}

// ---- Dates ----

// ISO week by the Thursday rule: a week belongs to the year of its Thursday, and its number is
// the Thursday's ordinal day, less one, divided by seven, plus one.
unsigned referenceIsoWeek(sys_days date) {
  sys_days thursday = date + days(4 - int(weekday(date).iso_encoding()));
  sys_days jan1 = sys_days(year_month_day(thursday).year() / January / 1);
  return unsigned((thursday - jan1).count() / 7 + 1);
}

TEST(DateHelpers, WeekAndWeekdayAgreeWithTheCalendarFrom1900To2100) {
  for (sys_days d = sys_days(year{1900} / January / 1); d <= sys_days(year{2100} / December / 31);
       d += days(1)) {
    ASSERT_EQ(WeekOfYear(d), referenceIsoWeek(d)) << SysDaysToEngineDay(d);
    ASSERT_EQ(IsoDayOfWeek(d), weekday(d).iso_encoding()) << SysDaysToEngineDay(d);
    ASSERT_EQ(EngineDayToSysDays(SysDaysToEngineDay(d)), d);
  }
}

// ---- Rounding ----

TEST(Rounding, HalvesGoAwayFromZeroAndLargeValuesComeBackUnchanged) {
  EXPECT_EQ(RoundFloat(-2.5, 0), -3.0);
  EXPECT_DOUBLE_EQ(RoundFloat(1.25, 1), 1.3);
  EXPECT_EQ(RoundFloat(0.49999999999999994, 0), 0.0) << "adding 0.5 first would give 1";
  for (double v : {4503599627370496.0, 1e17, 9.3e18, 1e300, -1e300, -9.3e18}) {
    EXPECT_EQ(RoundFloat(v, 0), v);
    EXPECT_EQ(RoundFloat(v, 4), v);
  }
  EXPECT_EQ(RoundFloat(1e15 + 0.25, 2), 1e15 + 0.25) << "no decimals left to round at this scale";
  EXPECT_TRUE(std::isnan(RoundFloat(std::nan(""), 2)));
  EXPECT_EQ(RoundFloat(std::numeric_limits<double>::infinity(), 2), std::numeric_limits<double>::infinity());
}

TEST(Rounding, CurrencyRoundsToAtMostFourDecimals) {
  EXPECT_EQ(RoundCurrency(12345, 6), 12345) << "six decimals count as four";
  EXPECT_EQ(RoundCurrency(-12345, 3), -12350);
  EXPECT_EQ(RoundCurrency(12344, 3), 12340);
  constexpr int64_t max = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(RoundCurrency(max, 0), max / 10000 * 10000) << "stays within range";
  EXPECT_EQ(RoundCurrency(std::numeric_limits<int64_t>::min(), 0),
            std::numeric_limits<int64_t>::min() / 10000 * 10000);
}

// ---- BCD ----

std::string bcdDigits(const TBcd& bcd) {
  std::string s;
  for (size_t k = 0; k < bcd.Precision; ++k)
    s.push_back(char('0' + ((bcd.Fraction[k / 2] >> (k % 2 ? 0 : 4)) & 0x0F)));
  return s;
}

TEST(Bcd, CurrencyBecomesThirtyTwoDigitsWithTheScale) {
  TBcd bcd;
  ASSERT_TRUE(CurrencyToBcd(123400, 2, bcd));  // 12.34
  EXPECT_EQ(bcd.Precision, 32);
  EXPECT_EQ(bcd.SignSpecialPlaces, 2);
  EXPECT_EQ(bcdDigits(bcd), std::string(28, '0') + "1234");
  ASSERT_TRUE(CurrencyToBcd(-123456, 2, bcd));  // -12.3456 rounds to -12.35
  EXPECT_EQ(bcd.SignSpecialPlaces, 0x80 | 2);
  EXPECT_EQ(BcdToCurrency(bcd), -123500);
  ASSERT_TRUE(CurrencyToBcd(5, 6, bcd));  // 0.0005 with six decimals
  EXPECT_EQ(bcdDigits(bcd), std::string(28, '0') + "0500");
  EXPECT_FALSE(CurrencyToBcd(1, 33, bcd));
  EXPECT_FALSE(CurrencyToBcd(std::numeric_limits<int64_t>::max(), 20, bcd)) << "integer digits do not fit";
}

// A filter constant meets the stored digits only when both round a tie the same way: to even, as
// every packed decimal that INSERT, UPDATE or a field write stores.
TEST(Bcd, ATieBetweenTwoLastDigitsGoesToTheEvenOne) {
  TBcd bcd;
  for (auto [value, scale, rounded] : {std::tuple{int64_t(123450), 2, int64_t(123400)},  // 12.345 -> 12.34
                                       std::tuple{int64_t(123550), 2, int64_t(123600)},  // 12.355 -> 12.36
                                       std::tuple{int64_t(-123450), 2, int64_t(-123400)},
                                       std::tuple{int64_t(25000), 0, int64_t(20000)},  // 2.5 -> 2
                                       std::tuple{int64_t(-35000), 0, int64_t(-40000)},
                                       std::tuple{int64_t(5), 3, int64_t(0)},  // 0.0005 -> 0.000
                                       std::tuple{int64_t(15), 3, int64_t(20)}}) {
    ASSERT_TRUE(CurrencyToBcd(value, scale, bcd)) << value;
    EXPECT_EQ(BcdToCurrency(bcd), rounded) << value << " with " << scale << " places";
  }
}

TEST(Bcd, RoundTripsForEveryScaleThatHoldsFourDecimals) {
  for (int64_t v : {int64_t(0), int64_t(1), int64_t(-1), int64_t(99999), int64_t(-123456789),
                    std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min() + 1})
    for (int scale = 4; scale <= 13; ++scale) {
      TBcd bcd;
      ASSERT_TRUE(CurrencyToBcd(v, scale, bcd)) << v << " " << scale;
      EXPECT_EQ(BcdToCurrency(bcd), v) << v << " " << scale;
    }
}

TEST(Bcd, OddBcdsGiveZeroOrTheEndOfTheRange) {
  TBcd bcd;
  EXPECT_EQ(BcdToCurrency(bcd), 0) << "precision 0";
  bcd.Precision = 4;
  bcd.SignSpecialPlaces = 5;  // more decimals than digits
  EXPECT_EQ(BcdToCurrency(bcd), 0);
  bcd = TBcd{};
  bcd.Precision = 2;
  bcd.Fraction[0] = 0xA1;  // a digit above 9
  EXPECT_EQ(BcdToCurrency(bcd), 0);
  bcd = TBcd{};
  bcd.Precision = 40;
  for (auto& b : bcd.Fraction) b = 0x99;
  EXPECT_EQ(BcdToCurrency(bcd), std::numeric_limits<int64_t>::max());
  bcd.SignSpecialPlaces = 0x80;
  EXPECT_EQ(BcdToCurrency(bcd), std::numeric_limits<int64_t>::min());
  bcd = TBcd{};
  bcd.Precision = 6;
  bcd.SignSpecialPlaces = 6;
  bcd.Fraction[0] = 0x12;
  bcd.Fraction[1] = 0x34;
  bcd.Fraction[2] = 0x50;  // 0.123450 rounds to 0.1235
  EXPECT_EQ(BcdToCurrency(bcd), 1235);
}

// ---- Validity of value texts ----

// Decimal comma for C++ streams, as a desktop toolkit sets it for the user's locale.
struct CommaNumpunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

TEST(ValueTexts, NumbersReadTheSameUnderAnyProcessLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  // A C locale with a decimal comma where the machine has one.
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
    if (std::setlocale(LC_ALL, name) != nullptr) break;
  std::locale savedGlobal = std::locale::global(std::locale(std::locale::classic(), new CommaNumpunct));
  EXPECT_TRUE(IsValidFloatText("1.5"));
  EXPECT_FALSE(IsValidFloatText("1,5"));
  EXPECT_TRUE(IsValidCurrencyText("0.0001"));
  EXPECT_TRUE(IsValidTimeText("01:05:07.250 PM"));
  std::locale::global(savedGlobal);
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(ValueTexts, DatesAndTimes) {
  EXPECT_TRUE(IsValidDateText("2024-02-29"));
  EXPECT_TRUE(IsValidDateText("33-1-2"));
  for (const char* bad : {"2023-02-29", "2024-02", "0-01-01", "2024-13-01", "10000-01-01", "", "2024--01-01",
                          "+2024-01-01", "2024-01-01x", "99999999999999999999-1-1"})
    EXPECT_FALSE(IsValidDateText(bad)) << bad;
  for (const char* good :
       {"12:00 PM", "12:30 am", "1:30 pm", "13:05", "13:05:07.250", "23:59:59.999", "00:00"})
    EXPECT_TRUE(IsValidTimeText(good)) << good;
  for (const char* bad : {"13:00 PM", "24:00", "12", "12:60", "12:00:60", "12:00:00.1000", "a:b", "-1:00", "",
                          "1:2:3:4", "12:00 XM"})
    EXPECT_FALSE(IsValidTimeText(bad)) << bad;
}

// ---- Key compression ----

TEST(KeyCompression, CountsAreCappedAt254) {
  std::vector<uint8_t> a(300, 7), b(300, 7), zeros(300, 0);
  EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), 300), 254);
  EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), 10), 10);
  b[3] = 8;
  EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), 300), 3);
  EXPECT_EQ(TrailingZeroCount(zeros.data(), 300), 254);
  a[297] = 0;
  a[298] = 0;
  a[299] = 0;
  EXPECT_EQ(TrailingZeroCount(a.data(), 300), 3);
  EXPECT_EQ(TrailingZeroCount(a.data(), 2), 0);
  ZeroBytes(a.data(), 255);
  EXPECT_EQ(a[254], 0);
  EXPECT_EQ(a[255], 7);
}

// ---- Text indexes ----

class TextWordsTest : public ::testing::Test {
 protected:
  TLanguageStringList list{0x0409, 0};
  TCharSet space = GetDefaultSpaceChars();
  TCharSet include = GetDefaultIncludeChars();
  void SetUp() override { list.setSorted(true); }
};

TEST_F(TextWordsTest, CountModeCountsEachWordOnceUpTo65535) {
  ExtractTextWords("the cat the", list, false, true, include, space);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_EQ(list[0], "cat");
  EXPECT_EQ(list.number(0), 1u);
  EXPECT_EQ(list[1], "the");
  EXPECT_EQ(list.number(1), 2u);
  ExtractTextWords("The THE the", list, false, true, include, space);
  ASSERT_EQ(list.count(), 1u) << "words are equal with case ignored";
  EXPECT_EQ(list.number(0), 3u);
  std::string text;
  for (int i = 0; i < 70000; ++i) text += "a ";
  ExtractTextWords(text, list, false, true, include, space);
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list.number(0), 65535u);
}

TEST_F(TextWordsTest, TrailingWildcardStaysOnTheLastWord) {
  ExtractTextWords("big data*", list, true, true, include, space);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_EQ(list[1], "data*");
  ExtractTextWords("big data*", list, false, true, include, space);
  EXPECT_EQ(list[1], "data");
  ExtractTextWords("da*ta", list, true, true, include, space);
  EXPECT_EQ(list.count(), 2u) << "a * inside the text breaks the word";
}

TEST_F(TextWordsTest, LongWordsKeepTheirFirstSixtyBytesOfWholeLetters) {
  ExtractTextWords(std::string(70, 'x'), list, false, true, include, space);
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list[0], std::string(60, 'x'));
  std::string accented = std::string(59, 'x') + "éé";
  ExtractTextWords(accented, list, false, true, include, space);
  EXPECT_EQ(list[0], std::string(59, 'x')) << "the cut letter goes whole";
}

TEST_F(TextWordsTest, PositionModeKeepsEveryWordWithItsOffset) {
  TLanguageStringList positions(0x0409, 0);
  ExtractTextWords("a,b  a.", positions, false, false, include, space);
  ASSERT_EQ(positions.count(), 3u);
  EXPECT_EQ(positions[0], "a");
  EXPECT_EQ(positions.number(0), 0u);
  EXPECT_EQ(positions[1], "b");
  EXPECT_EQ(positions.number(1), 2u);
  EXPECT_EQ(positions.number(2), 5u);
}

TEST_F(TextWordsTest, BytesOutsideTheIncludeSetAreDropped) {
  TCharSet letters = StringToCharSet("abc");
  ExtractTextWords("a!b c", list, false, true, letters, space);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_EQ(list[0], "ab");
}

// ---- Temporary file names ----

class TempFileNameTest : public ::testing::Test {
 protected:
  platform::testing::TempFolder temp;
  std::filesystem::path dir{temp.path()};
  std::string prefix = dir.string() + "/" + padded(::gettid());
  static std::string padded(uint64_t number) {
    std::string digits = std::to_string(number);
    return std::string(7 - std::min<size_t>(digits.size(), 7), '0') + digits;
  }
};

TEST_F(TempFileNameTest, NameIsDirectoryThreadDigitsCounterAndExtension) {
  std::string name = MakeTempFileName(dir.string(), ".DAT", false);
  EXPECT_EQ(name, prefix + "0.DAT");
  EXPECT_EQ(std::filesystem::file_size(name), 0u) << "the name is taken by an empty file";
  EXPECT_EQ(MakeTempFileName(dir.string() + "/", ".DAT", false), prefix + "1.DAT");
}

TEST_F(TempFileNameTest, ExistingFilesAreSkippedAndNeverOverwritten) {
  for (int i = 0; i < 3; ++i) std::ofstream(prefix + std::to_string(i) + ".tmp") << "keep " << i;
  std::ofstream(prefix + "3.TMP") << "other case";  // engine names are found ignoring case
  EXPECT_EQ(MakeTempFileName(dir.string(), ".tmp", false), prefix + "4.tmp");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(platform::testing::readFile(prefix + std::to_string(i) + ".tmp"), "keep " + std::to_string(i));
  EXPECT_EQ(platform::testing::readFile(prefix + "3.TMP"), "other case");
}

TEST_F(TempFileNameTest, ThreadsSharingAFolderGetDistinctFiles) {
  std::vector<std::vector<std::string>> names(8);
  {
    std::vector<std::jthread> threads;
    for (auto& list : names)
      threads.emplace_back([&list, this] {
        for (int i = 0; i < 25; ++i) list.push_back(MakeTempFileName(dir.string(), ".x", false));
      });
  }
  std::set<std::string> all;
  for (const auto& list : names)
    for (const auto& n : list) EXPECT_TRUE(all.insert(n).second) << n;
  EXPECT_EQ(all.size(), 200u);
}

// A memory name claims nothing, so only the names themselves keep two threads apart: threads
// whose ids share their first digits, or whose ids differ by a digit at the end, each at their
// first counter.
TEST_F(TempFileNameTest, LiveThreadsNeverMakeTheSameName) {
  auto same = [](const std::string& n) { return n; };
  std::set<std::string> all;
  for (uint64_t id : {1234501u, 1234502u, 1234u, 12345u, 123u, 1u, 4194303u}) {
    std::thread([&] {
      SetTempNameThreadNumber(id);
      // Counters 0 to 59: the first `k` names count as taken.
      for (int k = 0; k < 60; ++k) {
        int asked = 0;
        const std::string name = MakeTempName(
            dir.string(), ".x", true, [&](const std::string&) { return asked++ < k; }, same,
            platform::FileSystem::local());
        EXPECT_TRUE(all.insert(name).second) << name << " of thread " << id;
      }
    }).join();
  }
  EXPECT_EQ(all.size(), 7u * 60u);
}

TEST_F(TempFileNameTest, InMemoryNamesSkipListedFiles) {
  TAbstractFile* file = nullptr;
  int32_t handle = EngineFileList().CreateFile(prefix + "0.mem", true, false, file);
  ASSERT_GT(handle, 0);
  EXPECT_TRUE(EngineFileExists(prefix + "0.mem", true));
  EXPECT_EQ(MakeTempFileName(dir.string(), ".mem", true), prefix + "1.mem");
  EXPECT_FALSE(std::filesystem::exists(prefix + "1.mem")) << "nothing is made on disk for memory files";
  EXPECT_EQ(EngineFileList().CloseFile(file, true, handle), 0);
  EXPECT_EQ(EngineFileList().DeleteFile(prefix + "0.mem", true), 0);
}

TEST_F(TempFileNameTest, FailuresToCreateRaiseWithTheName) {
  std::string table;
  EXPECT_EQ(
      storage_test::errorOf([&] { MakeTempFileName((dir / "missing").string(), ".DAT", false); }, &table),
      VELDOR_OSENOENT);
  EXPECT_NE(table.find("missing/"), std::string::npos) << table;
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  faulty.setPlan({platform::Fault::IoError, 1});
  auto never = [](const std::string&) { return false; };
  auto same = [](const std::string& n) { return n; };
  EXPECT_NE(storage_test::errorOf([&] { MakeTempName(dir.string(), ".x", false, never, same, faulty); }), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir)) << "a failed create leaves nothing behind";
}

}  // namespace
}  // namespace engine
