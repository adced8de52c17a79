// The Oracle monitor's parameter texts and its savepoint notices.
#include "oracle/orasqlmonitor.h"

#include <gtest/gtest.h>

#include <memory>

#include "oracle/ora_params.h"

namespace oracle {
namespace {

namespace ds = dataset;
namespace da = dataaccess;

TEST(OraSQLMonitorTest, ParameterTypesAndValuesInOracleTerms) {
  TOraSQLMonitor monitor;
  struct Row {
    ds::FieldType type;
    const char* text;  // set with SetAsString when not null
    const char *dataType, *value;
  } rows[] = {{ds::ftFixedChar, "x", "CHAR[1]", "'x'"},
              {ds::ftString, "abc", "VARCHAR[3]", "'abc'"},
              {ds::ftOraClob, "0123456789", "CLOB", "<LOB:10>"},
              {ds::ftOraBlob, "ab", "BLOB", "<BLOB:2>"},
              {ds::ftMemo, "m", "LONG", "<BLOB:1>"},
              {ds::ftCursor, nullptr, "CURSOR", "<CURSOR>"},
              {ds::ftInteger, nullptr, "INTEGER", "<NULL>"},
              {ds::ftADT, nullptr, "OBJECT:unknown", "<NULL>"},
              {da::ftTimeStampTZ, nullptr, "TIMESTAMP_TZ", "<NULL>"},
              {ds::ftDateTime, nullptr, "", "<NULL>"}};
  for (const Row& row : rows) {
    TOraParam param;
    param.SetDataType(row.type);
    if (row.text) param.SetAsString(row.text);
    EXPECT_EQ(monitor.GetParamDataType(param), row.dataType) << row.dataType;
    EXPECT_EQ(monitor.GetParamValue(param), row.value) << row.dataType;
  }
  TOraParam table;
  table.SetDataType(ds::ftString);
  table.SetSize(20);
  table.SetTable(true);
  table.SetLength(3);
  EXPECT_EQ(monitor.GetParamDataType(table), "VARCHAR[20]");
  EXPECT_EQ(monitor.GetParamValue(table), "<PL/SQL TABLE[3]>");
}

TEST(OraSQLMonitorTest, OnlyTheFirstMonitorHearsSavepoints) {
  std::vector<std::string> heard;
  auto first = std::make_unique<TOraSQLMonitor>();
  TOraSQLMonitor second;
  for (TOraSQLMonitor* m : {first.get(), &second})
    m->OnSQL = [&](da::TCustomDASQLMonitor&, const std::string& text, da::TSQLTraceFlag flag) {
      EXPECT_EQ(flag, da::tfTransact);
      heard.push_back(text);
    };
  da::TDAComponent session;
  TOraSQLMonitor::Savepoint(session, "SCOTT", "ORCL", "LOCK_Q");
  TOraSQLMonitor::RollbackToSavepoint(session, "SCOTT", "ORCL", "LOCK_Q");
  first.reset();
  TOraSQLMonitor::Savepoint(session, "SCOTT", "ORCL", "S2");
  EXPECT_EQ(heard, (std::vector<std::string>{"Savepoint LOCK_Q: SCOTT@ORCL",
                                             "Rollback to savepoint LOCK_Q: SCOTT@ORCL"}));
  EXPECT_EQ(TOraSQLMonitor::GetMonitor(), nullptr);
}

}  // namespace
}  // namespace oracle
