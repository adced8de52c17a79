#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>

#include "dataaccess/daconsts.h"
#include "oracle/oraclasses.h"
#include "oracle/oraclasses_values.h"

namespace oracle {
namespace {

TEST(DefaultTimeStampFormatTest, LocaleFormatsBecomeOracleModels) {
  const std::array<const char*, 4> rows[] = {
      {"dd.MM.yyyy", "HH:mm:ss", "HH:mm:ss", "DD.MM.YYYY HH24:MI:SS.FF"},
      {"M/d/yyyy", "h:mm:ss tt", "h:mm:ss tt", "fmMMfm/fmDDfm/YYYY fmHH12fm:MI:SS.FF AM"},
      {"dd'x'MMM", "hh:nn", "hh:nn", "DD\"x\"MON HH24:MI"},
      {"ddddd gg", "H:n:s AMPM", "hh:mm:ss.zzz", "fmDAYfmfmDDfm EE fmHH12fm:fmMIfm:fmSSfm AM"},
      {"dddd, MMMM yyyy", "HH\"h\"mm", "HH:mm", "fmDAYfm, MONTH YYYY HH24\"h\"MI"},
      {"yy/MM/dd", "HH:mm:ss 'x", "HH:mm:ss", "YY/MM/DD HH24:MI:SS.FF 'x"},
  };
  for (const auto& [date, time, longTime, model] : rows)
    EXPECT_EQ(buildDefaultTimeStampFormat(date, time, longTime, '.', false), model) << date;
}

// The client library for these values: a descriptor holds a timestamp's fields or an interval's text.
struct Fake {
  std::array<int, 7> v{};
  std::string text;
};

class FakeCalls : public DateTimeCalls {
 public:
  std::set<Fake*> live;
  std::string lastFormat;
  static Fake& fake(void* p) { return *static_cast<Fake*>(p); }
  void* DescriptorAlloc(uint32_t) override { return *live.insert(new Fake).first; }
  void DescriptorFree(void* p, uint32_t) override { live.erase(&fake(p)), delete &fake(p); }
  void DateTimeAssign(void* from, void* to) override { fake(to) = fake(from); }
  int DateTimeCompare(void* a, void* b) override {
    return fake(a).v < fake(b).v ? -1 : fake(b).v < fake(a).v;
  }
  void DateTimeConstruct(void* p, int16_t y, uint8_t mo, uint8_t d, uint8_t h, uint8_t mi, uint8_t s,
                         uint32_t f, std::string_view) override {
    fake(p).v = {y, mo, d, h, mi, s, int(f)};
  }
  void DateTimeGetDate(void* p, int16_t& y, uint8_t& mo, uint8_t& d) override {
    y = int16_t(fake(p).v[0]), mo = uint8_t(fake(p).v[1]), d = uint8_t(fake(p).v[2]);
  }
  void DateTimeGetTime(void* p, uint8_t& h, uint8_t& mi, uint8_t& s, uint32_t& f) override {
    std::tie(h, mi, s, f) = std::make_tuple(uint8_t(fake(p).v[3]), uint8_t(fake(p).v[4]),
                                            uint8_t(fake(p).v[5]), uint32_t(fake(p).v[6]));
  }
  std::string DateTimeToText(void* p, std::string_view format, uint8_t) override {
    char buf[64];
    const auto& v = fake(p).v;
    std::snprintf(buf, sizeof buf, "%d-%d-%d %d:%d:%d", v[0], v[1], v[2], v[3], v[4], v[5]);
    return lastFormat = format, buf;
  }
  void DateTimeFromText(std::string_view text, std::string_view format, void* p) override {
    std::array<int, 7> v{};
    lastFormat = format;
    if (std::sscanf(std::string(text).c_str(), "%d-%d-%d %d:%d:%d", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5]) != 6)
      throw std::runtime_error("not a date");
    fake(p).v = v;
  }
  void IntervalAssign(void* from, void* to) override { fake(to) = fake(from); }
  int IntervalCompare(void* a, void* b) override { return fake(a).text.compare(fake(b).text); }
  std::string IntervalToText(void* p, uint8_t, uint8_t) override { return fake(p).text; }
  void IntervalFromText(std::string_view text, void* p) override { fake(p).text = text; }
  uint32_t IntervalCheck(void* p) override { return fake(p).text == "+99 25:00:00" ? 16 : 0; }
};

class DescriptorValueTest : public ::testing::Test {
 protected:
  void SetUp() override { setDateTimeCalls(&calls); }
  void TearDown() override {
    EXPECT_TRUE(calls.live.empty());
    setDateTimeCalls(nullptr);
  }
  template <class T>
  static std::unique_ptr<T, void (*)(T*)> make(uint16_t dataType) {
    return {new T(dataType), [](T* v) { v->Release(); }};
  }
  FakeCalls calls;
};

TEST_F(DescriptorValueTest, DateTimesCountDaysBothWaysFromTheEpochInWholeSeconds) {
  const std::pair<std::array<int, 7>, double> rows[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0},
      {{1900, 1, 1, 12, 0, 0, 0}, 2.5},
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},
      {{2026, 12, 7, 10, 30, 15, 250'000'000}, 46363 + 37815.25 / 86400},
  };
  auto ts = make<TOraTimeStamp>(dtTimeStamp);
  EXPECT_EQ(ts->AsDateTime().days, 0);
  for (auto [v, days] : rows) {
    ts->Construct(int16_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3]), uint8_t(v[4]), uint8_t(v[5]),
                  uint32_t(v[6]), "");
    EXPECT_NEAR(ts->AsDateTime().days, days, 1e-9) << days;
    ts->SetAsDateTime({days});
    v[6] = 0;  // milliseconds are not carried
    EXPECT_EQ(FakeCalls::fake(ts->OCIDateTime()).v, v) << days;
  }
  ts->SetAsDateTime({3 - 0.4 / 86'400'000});  // rounds to the next day's midnight
  EXPECT_EQ(ts->AsString(), "1900-1-2 0:0:0");
  EXPECT_THROW(ts->SetAsDateTime({NAN}), dataaccess::EDAError);
}

TEST_F(DescriptorValueTest, FailedWritesLeaveTheValueAndOnlyOwnDescriptorsAreFreed) {
  auto ts = make<TOraTimeStamp>(dtTimeStampTZ);
  EXPECT_EQ(ts->AsString(), "");
  ts->SetAsString("2001-2-3 4:5:6");
  EXPECT_EQ(calls.lastFormat, "DD.MM.YYYY HH24:MI:SS.FF TZH:TZM");
  EXPECT_THROW(ts->SetAsString("never"), std::runtime_error);
  EXPECT_EQ(ts->AsString(), "2001-2-3 4:5:6");
  auto iv = make<TOraInterval>(dtIntervalDS);
  iv->SetAsString("+01 02:03:04");
  try {
    iv->SetAsString("+99 25:00:00");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid interval.");
  }
  EXPECT_EQ(iv->AsString(), "+01 02:03:04");
  iv.reset();
  EXPECT_THROW(make<TOraTimeStamp>(dtIntervalYM), dataaccess::EDAAssertionFailed);
  ts->SetDescriptorType(OCI_DTYPE_TIMESTAMP_LTZ);
  EXPECT_TRUE(ts->IsNull() && calls.live.empty());
  Fake outside;  // not the library's: freeing it would fail
  ts->SetOCIDateTime(&outside);
  ts.reset();
}

TEST_F(DescriptorValueTest, AssignAndCompareCarryTimeStampsAndSortNullsFirst) {
  auto a = make<TOraTimeStamp>(dtTimeStamp), b = make<TOraTimeStamp>(dtTimeStampTZ);
  a->Precision = 3;
  a->SetAsString("2001-2-3 4:5:6");
  a->AssignTo(*b);
  EXPECT_EQ(std::make_tuple(b->DescriptorType(), b->Format(), b->Precision, a->Compare(*b)),
            std::make_tuple(OCI_DTYPE_TIMESTAMP, std::string("DD.MM.YYYY HH24:MI:SS.FF"), uint8_t(3), 0));
  b->SetAsString("2001-2-3 4:5:7");
  auto null = make<TOraTimeStamp>(dtTimeStamp);
  EXPECT_EQ(std::make_tuple(a->Compare(*b), null->Compare(*a), a->Compare(*null)),
            std::make_tuple(-1, -1, 1));
  null->AssignTo(*a);
  EXPECT_TRUE(a->IsNull());
}

}  // namespace
}  // namespace oracle

namespace oracle {
namespace {

// The seven DATE bytes at the ends of their range and around the day count's zero go to a date
// and back unchanged, by either form; what lies outside is refused by its own name.
TEST(OraDateBytesTest, TheRangesEndsAndTheDaysBeforeDayZeroGoBothWays) {
  using Bytes = std::array<uint8_t, 7>;
  const Bytes cases[] = {
      {100, 101, 1, 1, 1, 1, 1},       // 0001-01-01 00:00:00
      {199, 199, 12, 31, 24, 60, 60},  // 9999-12-31 23:59:59
      {118, 199, 12, 29, 13, 1, 1},    // 1899-12-29 12:00:00, a negative day count
      {118, 199, 12, 30, 1, 1, 2},     // day zero, one second in
      {120, 124, 2, 29, 24, 60, 60},   // a leap day's last second
  };
  for (const Bytes& b : cases) {
    Bytes back{};
    DateTimeToOraDate(OraDateToDateTime(b.data()), back.data());
    EXPECT_EQ(back, b) << int(b[0]) << "," << int(b[1]);
    back = {};
    MsToOraDate(OraDateToMs(b.data()), back.data());
    EXPECT_EQ(back, b) << int(b[0]) << "," << int(b[1]);
  }
  const Bytes beforeChrist = {99, 199, 1, 1, 1, 1, 1};  // 1 BC
  EXPECT_THROW(OraDateToDateTime(beforeChrist.data()), std::runtime_error);
  Bytes out{};
  const Bytes last = cases[1];
  const DateTime afterLast{OraDateToDateTime(last.data()).days + 1.0};
  try {
    DateTimeToOraDate(afterLast, out.data());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Dates after 9999 are not supported: year 10000");
  }
}

}  // namespace
}  // namespace oracle
