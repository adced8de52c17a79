// What the tests of writers ended part way share: a session on a folder whose tables open through
// a file system of the test's choosing, copies of a folder, and the loop that ends a writer in
// another process before each of its writes in turn.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/faultfs.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace sql_killed {

// A session on a folder with the password of its encrypted tables, and the file list its tables
// are opened through (the local file system unless one is given).
class Database {
 public:
  Database(const std::string& folder, const std::string& password, engine::TFileList* list = nullptr) {
    session_.AddPassword(password);
    directory_ = session_.OpenDataDirectory("db", folder);
    if (list) directory_->SetFileList(*list);
  }
  ~Database() { session_.CloseDataDirectory(directory_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  // The rows of the statement's result (empty for a change).
  std::string run(const std::string& text) {
    engine::sql::TQueryStatement statement(*directory_);
    statement.Prepare(text);
    engine::TDataCursor* c = statement.Execute();
    return c ? sql_test::SqlDatabase::text(*c) : "";
  }
  engine::TDataDirectory& directory() { return *directory_; }

 private:
  engine::TDataSession session_;
  engine::TDataDirectory* directory_ = nullptr;
};

inline void copyFolder(const std::string& from, const std::string& to) {
  for (const auto& entry : std::filesystem::directory_iterator(from))
    std::filesystem::copy_file(entry.path(), std::filesystem::path(to) / entry.path().filename(),
                               std::filesystem::copy_options::overwrite_existing);
}

// How far endAtEachWrite went: the number of the last write a writer was ended before (or ran
// past), and whether that writer ran to its end.
struct EndedWrites {
  uint64_t last = 0;
  bool completed = false;
};

// Runs `write(path, k)` in another process on a fresh copy of the folder `pristine`, for k = 1,
// 2, ... until a writer runs to its end (exit code 0) or `limit` writers were ended: `write` ends
// its process before its write k (platform::kFaultExitCode). After each, `contents(path)` must be
// one of `states`, in their order: never before the one an earlier end left, and the last one
// once the writer ran to its end. `check(dir)` then looks at what is left in the folder. A
// failure of any of these is fatal and ends the loop: the caller asserts HasFatalFailure false.
// `ended` tells how far the loop went.
inline void endAtEachWrite(const std::string& pristine, const std::vector<std::string>& states,
                           uint64_t limit,
                           const std::function<void(const std::string& path, uint64_t k)>& write,
                           const std::function<std::string(const std::string& path)>& contents,
                           const std::function<void(const platform::testing::TempFolder& dir)>& check,
                           EndedWrites& ended) {
  ended = {};
  size_t reached = 0;
  for (uint64_t k = 1; !ended.completed && k <= limit; ++k) {
    SCOPED_TRACE("ended before write " + std::to_string(k));
    ended.last = k;
    platform::testing::TempFolder dir;
    copyFolder(pristine, dir.path());
    const std::string path = dir.path();
    storage_test::Helper writer([&](storage_test::Helper&) {
      write(path, k);
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    ended.completed = code == 0;
    const std::string found = contents(path);
    const size_t state = size_t(std::find(states.begin(), states.end(), found) - states.begin());
    ASSERT_LT(state, states.size()) << "a state no write-out left:\n" << found;
    ASSERT_GE(state, reached) << "a later end undid a change that an earlier one kept";
    reached = state;
    if (ended.completed) {
      EXPECT_EQ(state, states.size() - 1);
    }
    check(dir);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace sql_killed
