// The integrity checker over a table's files, for the SQL tests that compare tables after
// statements.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "tools/tablecheck/tablecheck.h"

namespace sql_test {

// The checker over the table's files, record keys included, keys ordered as a cursor of the
// table orders them (descending and locale indexes); `when` names the moment in a failure.
inline void expectSound(engine::TDataDirectory& directory, const std::string& folder,
                        const std::string& table, bool encrypted, const std::string& when = {}) {
  engine::TDataCursor c(directory);
  c.SetTableName(table);
  c.Open();
  tablecheck::Options options;
  options.checkRecordKeys = true;
  options.encrypted = encrypted;
  options.compare = [&](uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t n) {
    c.SelectIndex(slot);
    return c.CompareKeys(a, b, n);
  };
  const tablecheck::Report report = tablecheck::CheckTableFiles(folder + "/" + table, options);
  EXPECT_TRUE(report.ok()) << table << (when.empty() ? "" : " " + when) << ": " << report.text();
}

}  // namespace sql_test
