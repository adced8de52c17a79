// The stand-in server every Oracle client test logs on to: seeded once per suite into a
// temporary folder and found through OCI_STANDIN_ROOT; the client library is unloaded after
// the suite.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "oracle/oracall.h"
#include "tests/platform/temp_folder.h"

namespace oracle::testing {

inline void seedStandInServer(platform::testing::TempFolder& folder,
                              const std::string& seedFile = ORACLE_TEST_SEED) {
  const std::string command = std::string(OCI_STANDIN_SEED) + " " + folder.path("ORCL") + " " + seedFile;
  // A suite whose server could not be built must fail, not show its tests as skipped.
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "the stand-in server could not be seeded from %s\n", seedFile.c_str());
    std::exit(1);
  }
  ::setenv("OCI_STANDIN_ROOT", folder.path().c_str(), 1);
  ::setenv("ORACLE_HOME", OCI_STANDIN_HOME, 1);
  HomeSources.oratabPath = folder.path("oratab");
}

class StandInTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder() = std::make_unique<platform::testing::TempFolder>();
    seedStandInServer(*folder());
  }
  static void TearDownTestSuite() {
    FreeOCI();
    folder().reset();
  }
  static std::unique_ptr<platform::testing::TempFolder>& folder() {
    static std::unique_ptr<platform::testing::TempFolder> server;
    return server;
  }
};

}  // namespace oracle::testing
