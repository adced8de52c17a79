// The Oracle server the window tests log on to: the stand-in client library and a server seeded
// once per test binary from server.seed (users SCOTT, HR, SYS, SYSTEM; tables of SCOTT and HR;
// NLS_CHARACTERSET WE8ISO8859P1) under the name ORCL. The build names the seed tool, the seed
// and the library's home in OCI_STANDIN_SEED, UI_TEST_SEED and OCI_STANDIN_HOME.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "oracle/oracall.h"
#include "tests/platform/temp_folder.h"
#include "ui/oracleaccess.h"

namespace ui::testing {

// Points the Oracle client at the stand-in server, seeding it on first use.
inline void UseStandInServer() {
  static platform::testing::TempFolder folder;
  static const bool seeded = [] {
    const std::string command =
        std::string(OCI_STANDIN_SEED) + " " + folder.path("ORCL") + " " + UI_TEST_SEED;
    return std::system(command.c_str()) == 0;
  }();
  ASSERT_TRUE(seeded) << "the stand-in server could not be seeded";
  ::setenv("OCI_STANDIN_ROOT", folder.path().c_str(), 1);
  ::setenv("ORACLE_HOME", OCI_STANDIN_HOME, 1);
  oracle::HomeSources.oratabPath = folder.path("oratab");
}

// The connections a window opens through the Oracle client, counted as they open and close.
struct LinkCount {
  int made = 0, open = 0;
};

class CountedLink final : public OracleLink {
 public:
  explicit CountedLink(LinkCount& count) : count_(count) { ++count_.made; }
  ~CountedLink() override { Disconnect(); }
  void Connect(const OracleLogin& login, const std::string& clientCharset) override {
    link_->Connect(login, clientCharset);
    if (!counted_) ++count_.open;
    counted_ = true;
  }
  void Disconnect() override {
    link_->Disconnect();
    if (counted_) --count_.open;
    counted_ = false;
  }
  bool Connected() const override { return link_->Connected(); }
  std::vector<std::string> Column(const std::string& sql, const std::string& column,
                                  const Params& params) override {
    return link_->Column(sql, column, params);
  }

 private:
  LinkCount& count_;
  std::unique_ptr<OracleLink> link_ = NewOracleClientLink();
  bool counted_ = false;
};

inline OracleLinkFactory CountedLinks(LinkCount& count) {
  return [&count] { return std::make_unique<CountedLink>(count); };
}

}  // namespace ui::testing
