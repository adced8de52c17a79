#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>

#include "dataaccess/daconsts.h"
#include "oracle/oraclasses_values.h"

namespace oracle {
namespace {

TEST(DefaultTimeStampFormatTest, LocaleFormatsBecomeOracleModels) {
  const struct {
    const char *date, *time, *longTime;
    bool zone;
    const char* model;
  } rows[] = {
      {"dd.MM.yyyy", "HH:mm:ss", "HH:mm:ss", false, "DD.MM.YYYY HH24:MI:SS.FF"},
      {"dd.MM.yyyy", "HH:mm:ss", "HH:mm:ss", true, "DD.MM.YYYY HH24:MI:SS.FF TZH:TZM"},
      {"M/d/yyyy", "h:mm:ss tt", "h:mm:ss tt", false, "fmMMfm/fmDDfm/YYYY fmHH12fm:MI:SS.FF AM"},
      {"dd'x'MMM", "hh:nn", "hh:nn", false, "DD\"x\"MON HH24:MI"},
      {"ddddd gg", "H:n:s AMPM", "hh:mm:ss.zzz", false, "fmDAYfmfmDDfm EE fmHH12fm:fmMIfm:fmSSfm AM"},
      {"dddd, MMMM yyyy", "HH\"h\"mm", "HH:mm", false, "fmDAYfm, MONTH YYYY HH24\"h\"MI"},
      {"yyyy 'at", "HH:mm", "HH:mm", false, "YYYY 'at HH24:MI"},
      {"yy/MM/dd", "HH:mm:ss 'x", "HH:mm:ss", false, "YY/MM/DD HH24:MI:SS.FF 'x"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(BuildDefaultTimeStampFormat(row.date, row.time, row.longTime, '.', row.zone), row.model)
        << row.date << " " << row.time;
}

// The client library as far as these values use it: descriptors are plain records.
struct FakeDescriptor {
  int16_t year = 0;
  uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  uint32_t fsec = 0;
  std::string text;
  auto key() const { return std::tie(year, month, day, hour, minute, second, fsec, text); }
};

class FakeCalls : public TOraDateTimeCalls {
 public:
  std::set<FakeDescriptor*> live;
  std::string lastFormat;

  static FakeDescriptor& d(void* p) { return *static_cast<FakeDescriptor*>(p); }
  void* DescriptorAlloc(uint32_t) override { return *live.insert(new FakeDescriptor).first; }
  void DescriptorFree(void* p, uint32_t) override {
    live.erase(&d(p));
    delete &d(p);
  }
  void DateTimeAssign(void* from, void* to) override { d(to) = d(from); }
  int DateTimeCompare(void* a, void* b) override {
    return d(a).key() < d(b).key() ? -1 : d(b).key() < d(a).key();
  }
  void DateTimeConstruct(void* p, int16_t y, uint8_t mo, uint8_t dd, uint8_t h, uint8_t mi, uint8_t s,
                         uint32_t f, std::string_view) override {
    d(p) = {y, mo, dd, h, mi, s, f, ""};
  }
  void DateTimeGetDate(void* p, int16_t& y, uint8_t& mo, uint8_t& dd) override {
    y = d(p).year, mo = d(p).month, dd = d(p).day;
  }
  void DateTimeGetTime(void* p, uint8_t& h, uint8_t& mi, uint8_t& s, uint32_t& f) override {
    h = d(p).hour, mi = d(p).minute, s = d(p).second, f = d(p).fsec;
  }
  std::string DateTimeToText(void* p, std::string_view format, uint8_t) override {
    lastFormat = format;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d(p).year, d(p).month, d(p).day,
                  d(p).hour, d(p).minute, d(p).second);
    return buf;
  }
  void DateTimeFromText(std::string_view text, std::string_view format, void* p) override {
    lastFormat = format;
    int y, mo, dd, h, mi, s;
    if (std::sscanf(std::string(text).c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &dd, &h, &mi, &s) != 6)
      throw std::runtime_error("not a date");
    DateTimeConstruct(p, int16_t(y), uint8_t(mo), uint8_t(dd), uint8_t(h), uint8_t(mi), uint8_t(s), 0, "");
  }
  void IntervalAssign(void* from, void* to) override { d(to) = d(from); }
  int IntervalCompare(void* a, void* b) override { return d(a).text.compare(d(b).text); }
  std::string IntervalToText(void* p, uint8_t, uint8_t) override { return d(p).text; }
  void IntervalFromText(std::string_view text, void* p) override {
    if (text.empty()) throw std::runtime_error("not an interval");
    d(p).text = text;
  }
  uint32_t IntervalCheck(void* p) override { return d(p).text == "+99 25:00:00" ? 16 : 0; }
};

class DescriptorValueTest : public ::testing::Test {
 protected:
  void SetUp() override { SetOraDateTimeCalls(&calls); }
  void TearDown() override {
    EXPECT_TRUE(calls.live.empty());
    SetOraDateTimeCalls(nullptr);
  }
  template <class T>
  static std::unique_ptr<T, void (*)(T*)> make(uint16_t dataType) {
    return {new T(dataType), [](T* v) { v->Release(); }};
  }
  FakeCalls calls;
};

TEST_F(DescriptorValueTest, DateTimesCountDaysBothWaysFromTheEpoch) {
  const struct {
    int y, mo, d, h, mi, s;
    uint32_t fsec;
    double days;
  } rows[] = {
      {1899, 12, 30, 0, 0, 0, 0, 0},
      {1900, 1, 1, 12, 0, 0, 0, 2.5},
      {1899, 12, 29, 6, 0, 0, 0, -1.25},
      {1899, 12, 28, 18, 0, 0, 0, -2.75},
      {2026, 12, 7, 10, 30, 15, 250'000'000, 46363 + 37815.25 / 86400},
  };
  auto ts = make<TOraTimeStamp>(dtTimeStamp);
  EXPECT_EQ(ts->AsDateTime().days, 0);
  for (const auto& row : rows) {
    ts->Construct(int16_t(row.y), uint8_t(row.mo), uint8_t(row.d), uint8_t(row.h), uint8_t(row.mi),
                  uint8_t(row.s), row.fsec, "");
    EXPECT_NEAR(ts->AsDateTime().days, row.days, 1e-9) << row.y << "-" << row.mo << "-" << row.d;
    ts->SetAsDateTime({row.days});
    const FakeDescriptor& back = FakeCalls::d(ts->OCIDateTime());
    EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second),
              std::make_tuple(int16_t(row.y), uint8_t(row.mo), uint8_t(row.d), uint8_t(row.h),
                              uint8_t(row.mi), uint8_t(row.s)));
    EXPECT_EQ(back.fsec, 0u);
  }
  ts->SetAsDateTime({3 - 0.4 / 86'400'000});  // rounds to the next day's midnight
  EXPECT_EQ(ts->AsString(), "1900-01-02 00:00:00");
  EXPECT_THROW(ts->SetAsDateTime({NAN}), dataaccess::EDAError);
}

TEST_F(DescriptorValueTest, TextWritesThatFailLeaveTheValue) {
  auto ts = make<TOraTimeStamp>(dtTimeStampTZ);
  EXPECT_EQ(ts->AsString(), "");
  ts->SetAsString("2001-02-03 04:05:06");
  EXPECT_EQ(calls.lastFormat, "DD.MM.YYYY HH24:MI:SS.FF TZH:TZM");
  EXPECT_THROW(ts->SetAsString("never"), std::runtime_error);
  EXPECT_FALSE(ts->IsNull());
  EXPECT_EQ(ts->AsString(), "2001-02-03 04:05:06");

  auto iv = make<TOraInterval>(dtIntervalDS);
  iv->SetAsString("+01 02:03:04");
  for (const char* bad : {"", "+99 25:00:00"}) EXPECT_THROW(iv->SetAsString(bad), std::runtime_error);
  try {
    iv->SetAsString("+99 25:00:00");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid interval.");
  }
  EXPECT_EQ(iv->AsString(), "+01 02:03:04");
}

TEST_F(DescriptorValueTest, DescriptorsAreOwnedOnlyWhenAllocatedHere) {
  EXPECT_THROW(make<TOraTimeStamp>(dtIntervalYM), dataaccess::EDAAssertionFailed);
  EXPECT_THROW(make<TOraInterval>(dtTimeStamp), dataaccess::EDAAssertionFailed);
  auto ts = make<TOraTimeStamp>(dtTimeStamp);
  ts->SetAsString("2001-02-03 04:05:06");
  ts->SetDescriptorType(OCI_DTYPE_TIMESTAMP_LTZ);
  EXPECT_TRUE(ts->IsNull());
  EXPECT_TRUE(calls.live.empty());
  FakeDescriptor outside;
  ts->SetOCIDateTime(&outside);
  ts->SetIsNull(false);
  ts.reset();
  EXPECT_TRUE(calls.live.empty());
}

TEST_F(DescriptorValueTest, AssignAndCompareCarryValuesAndSortNullsFirst) {
  auto a = make<TOraTimeStamp>(dtTimeStamp), b = make<TOraTimeStamp>(dtTimeStampTZ);
  a->Precision = 3;
  a->SetAsString("2001-02-03 04:05:06");
  a->AssignTo(*b);
  EXPECT_EQ(b->DescriptorType(), OCI_DTYPE_TIMESTAMP);
  EXPECT_EQ(b->Format(), "DD.MM.YYYY HH24:MI:SS.FF");
  EXPECT_EQ(b->Precision, 3);
  EXPECT_EQ(a->Compare(*b), 0);
  b->SetAsString("2001-02-03 04:05:07");
  EXPECT_EQ(a->Compare(*b), -1);
  auto null = make<TOraTimeStamp>(dtTimeStamp);
  EXPECT_EQ(null->Compare(*a), -1);
  EXPECT_EQ(a->Compare(*null), 1);
  null->AssignTo(*a);
  EXPECT_TRUE(a->IsNull());

  auto x = make<TOraInterval>(dtIntervalYM), y = make<TOraInterval>(dtIntervalDS);
  x->LeadPrecision = 4;
  x->SetAsString("+0001-02");
  x->AssignTo(*y);
  EXPECT_EQ(std::make_tuple(y->DescriptorType(), y->LeadPrecision, y->AsString()),
            std::make_tuple(OCI_DTYPE_INTERVAL_YM, uint8_t(4), std::string("+0001-02")));
  EXPECT_EQ(x->Compare(*y), 0);
}

}  // namespace
}  // namespace oracle
