// The integrity checker over a table's files, for the SQL tests that compare tables after
// statements.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
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

// The data file of `table` in `folder`, whatever the case of its name.
inline std::string dataFile(const std::string& folder, const std::string& table) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (lower == table + ".dat") return entry.path().string();
  }
  ADD_FAILURE() << "no data file for " << table;
  return {};
}

// Every record slot's status and bytes, and the free-record head, of a data file.
inline std::string slotsOf(const std::string& file) {
  std::string problem;
  const auto facts = tablecheck::ReadDataFileFacts(file, problem);
  if (!facts) return "unreadable: " + problem;
  std::string out = "free " + std::to_string(facts->freeHead) + "\n";
  for (size_t i = 0; i < facts->status.size(); ++i) {
    out += std::to_string(i + 1) + ":" + std::to_string(facts->status[i]) + ":";
    for (uint8_t b : facts->records[i]) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 15];
    out += "\n";
  }
  return out;
}

}  // namespace sql_test
