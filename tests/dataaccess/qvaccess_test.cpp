// The driver interface over the scripted fake driver: fetch on demand, block replacement,
// properties and events, open failures, parameter descriptors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "tests/dataaccess/fakedriver.h"

namespace {

using namespace fakedriver;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;

class RecordSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script.columns = {{"ID", dtInteger, 4}, {"NAME", dtExtString, 8}};
    for (int i = 0; i < 23; ++i) script.rows.push_back({int32_t(i), "row " + std::to_string(i)});
    conn.Connect("");
    rs = conn.CreateRecordSet();
    rs->SetSQL("SELECT");
  }
  void open(int fetchRows, bool uni = false) {
    rs->SetProp(prFetchRows, fetchRows);
    rs->SetProp(prUniDirectional, uni);
    rs->Open();
    buf.reset(rs->AllocRecBuf());
  }
  // The ids read in one direction to the end, each checked against its record number.
  std::vector<int> read(bool forward) {
    std::vector<int> ids;
    for (;;) {
      forward ? rs->GetNextRecord(buf.get()) : rs->GetPriorRecord(buf.get());
      if (forward ? rs->Eof() : rs->Bof()) return ids;
      ids.push_back(rs->GetFieldAsVariant(1, buf.get()).asInt32());
      EXPECT_EQ(rs->GetRecNo(), ids.back() + 1);
      EXPECT_EQ(rs->GetFieldAsVariant(2, buf.get()).asString(), "row " + std::to_string(ids.back()));
    }
  }
  static std::vector<int> range(int from, int to, int step = 1) {
    std::vector<int> v;
    for (int i = from; step > 0 ? i < to : i > to; i += step) v.push_back(i);
    return v;
  }

  Script script;
  FakeConnection conn{script};
  std::unique_ptr<TQvRecordSet> rs;
  std::unique_ptr<uint8_t[]> buf;
};

TEST_F(RecordSetTest, OpenHoldsOneBlockAndNavigationFetchesTheNextOnlyPastTheHeldRows) {
  open(5);
  EXPECT_THAT(script.take(), ElementsAre("Connect /@", "Execute SELECT", "Fetch 5"));
  EXPECT_EQ(rs->GetRecordCount(), 5);
  for (int i = 0; i < 5; ++i) rs->GetNextRecord(buf.get());
  EXPECT_TRUE(script.take().empty());
  rs->GetNextRecord(buf.get());
  EXPECT_THAT(script.take(), ElementsAre("Fetch 5"));
  rs->SetToBegin();
  EXPECT_EQ(read(true), range(0, 23));
  EXPECT_EQ(rs->GetRecordCount(), 23);
  EXPECT_EQ(read(false), range(22, -1, -1));  // everything is held: no fetch backwards
  EXPECT_THAT(script.take(), Not(Contains(HasSubstr("FetchBack"))));

  rs->Close();
  rs->SetProp(prFetchAll, true);
  rs->Open();
  EXPECT_EQ(rs->GetRecordCount(), 23);
}

TEST_F(RecordSetTest, ReplacingCursorsHoldOnlyTheCurrentBlockAndNumberRowsByTheirPlaceInTheResult) {
  open(4, true);
  EXPECT_EQ(read(true), range(0, 23));
  rs->SetToBegin();
  rs->GetNextRecord(buf.get());
  EXPECT_EQ(rs->GetFieldAsVariant(1, buf.get()).asInt32(), 20);  // the last block is all that is held
  script.take();
  rs->GetPriorRecord(buf.get());
  rs->SetRecNo(2);  // behind the held block: no move, no fetch
  EXPECT_TRUE(rs->Bof());
  EXPECT_TRUE(script.take().empty());

  // A cursor that fetches backwards, with every odd row hidden across block edges.
  rs->Close();
  script.canFetchBack = true;
  rs->OnFilterRecord = [&](const uint8_t* rec) { return rs->GetFieldAsVariant(1, rec).asInt32() % 2 == 0; };
  open(3);
  EXPECT_EQ(read(true), range(0, 23, 2));
  EXPECT_EQ(read(false), range(22, -1, -2));
  EXPECT_THAT(script.take(), Contains("FetchBack 3"));
  EXPECT_EQ(read(true), range(0, 23, 2));
}

TEST_F(RecordSetTest, UnknownPropertyAndEventNumbersAlwaysRaise) {
  Variant v;
  auto cmd = conn.CreateCommand();
  EXPECT_THROW(conn.SetProp(99, true), EDAAssertionFailed);
  EXPECT_THROW(conn.GetProp(5, v), EDAAssertionFailed);
  EXPECT_THROW(cmd->SetProp(12, true), EDAAssertionFailed);
  EXPECT_THROW(cmd->GetProp(99, v), EDAAssertionFailed);
  EXPECT_THROW(cmd->SetEventProp(101, TQvEvent()), EDAAssertionFailed);
  EXPECT_THROW(rs->SetProp(23, true), EDAAssertionFailed);
  EXPECT_THROW(rs->SetEventProp(evOnFetchBlock, TQvBoolEvent([](bool) {})), EDAAssertionFailed);
  EXPECT_THAT([&] { rs->GetProp(77, v); }, ThrowsMessage<EDAAssertionFailed>(HasSubstr("77")));
  for (int rows : {0, 10001}) EXPECT_THROW(rs->SetProp(prFetchRows, rows), EDatabaseError);
  EXPECT_TRUE(cmd->GetProp(prScanParams, v) && !v.asBool());

  EXPECT_FALSE(rs->NeedConvertEOL());
  conn.SetProp(prConvertEOL, true);
  EXPECT_TRUE(rs->NeedConvertEOL());
  rs->SetConnection(nullptr);
  EXPECT_FALSE(rs->NeedConvertEOL());
}

TEST_F(RecordSetTest, AFailedOpenUnpreparesOnlyARecordSetThatPrepareHadNotPrepared) {
  script.failures["Execute"] = 942;
  EXPECT_THROW(open(5), EDAError);
  EXPECT_THAT(script.take(), Contains("Unprepare"));
  script.failures["Prepare"] = 900;
  EXPECT_THROW(rs->Prepare(), EDAError);
  EXPECT_FALSE(rs->Prepared());
  EXPECT_THAT(script.take(), Contains("Unprepare"));

  rs->Prepare();
  script.failures["Execute"] = 942;
  EXPECT_THROW(rs->Open(), EDAError);
  EXPECT_TRUE(rs->Prepared());
  EXPECT_THAT(script.take(), Not(Contains("Unprepare")));
  rs->Open();
  EXPECT_EQ(rs->FieldCount(), 2);
}

TEST_F(RecordSetTest, BlockEventsCancelFetchesAndBackgroundExecutionsReportFromTheirThread) {
  std::vector<bool> calls;
  rs->SetEventProp(evOnFetchBlock, TQvFetchBlockEvent([&](bool before, bool& cancel) {
                     calls.push_back(before);
                     cancel = calls.size() > 2;
                   }));
  open(10);
  EXPECT_EQ(read(true), range(0, 10));
  EXPECT_THAT(calls, ElementsAre(true, false, true));

  script.background = true;
  auto cmd = conn.CreateCommand();
  std::promise<std::thread::id> ended;
  cmd->SetEventProp(evAfterExecute, TQvBoolEvent([&](bool ok) {
                      EXPECT_TRUE(ok);
                      ended.set_value(std::this_thread::get_id());
                    }));
  cmd->Execute(1);
  Variant executing;
  EXPECT_TRUE(cmd->GetProp(prExecuting, executing) && executing.asBool());
  EXPECT_NE(ended.get_future().get(), std::this_thread::get_id());
  cmd.reset();  // joins the worker
}

TEST(ParamDescTest, NullsObjectsListBoundsAndOutputValues) {
  TParamDesc d;
  d.SetValue(Variant::null());
  EXPECT_TRUE(d.GetNull());
  d.SetValue("x");
  EXPECT_FALSE(d.GetNull());
  EXPECT_THROW(d.GetObject(), EDAAssertionFailed);
  int object = 0;
  d.SetObject(&object);
  EXPECT_EQ(d.GetObject(), &object);
  d.SetNull(false);
  EXPECT_TRUE(d.GetValue().isNull() && !d.GetNull() && !d.GetObject());

  Script script;
  FakeConnection conn(script);
  conn.Connect("");
  auto cmd = conn.CreateCommand();
  cmd->SetSQL("BEGIN :OUTV := 42; END;");
  TParamDesc& out = cmd->AddParam();
  out.SetName("OUTV");
  out.SetParamType(2);
  out.SetNull(true);
  script.outputs["OUTV"] = int32_t(42);
  cmd->Execute(1);
  EXPECT_EQ(out.GetValue().asInt32(), 42);
  EXPECT_THAT(script.take(), Contains("Execute BEGIN :OUTV := 42; END; OUTV=NULL"));
  EXPECT_THROW(cmd->DeleteParam(1), std::out_of_range);
  cmd->DeleteParam(0);
  EXPECT_EQ(cmd->GetParamCount(), 0);
}

}  // namespace
