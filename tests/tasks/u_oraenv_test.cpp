#include "tasks/u_oraenv.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace tasks {
namespace {

class OraEnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velmaron-oraenv-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Reads the home from `vars` and an oratab of `oratab` (none when null).
  TOraEnv read(std::map<std::string, std::string> vars, const char* oratab, int expected) {
    const std::string path = dir_ + "/oratab";
    std::filesystem::remove(path);
    if (oratab != nullptr) std::ofstream(path) << oratab;
    TOraEnv env(
        [vars](const std::string& name) -> std::optional<std::string> {
          auto it = vars.find(name);
          return it == vars.end() ? std::nullopt : std::optional(it->second);
        },
        path);
    EXPECT_EQ(env.ReadOracleHome(), expected) << (oratab ? oratab : "(no oratab)");
    return env;
  }
  std::string dir_;
};

TEST_F(OraEnvTest, HomeComesFromTheEnvironmentElseFromTheFirstUsableOratabEntry) {
  TOraEnv env = read({{"ORACLE_HOME", "/u01/env"}, {"NLS_LANG", "AMERICAN_AMERICA.WE8ISO8859P1"}},
                     "ORCL:/u01/tab:N\n", 0);
  EXPECT_EQ(env.OracleHome(), "/u01/env");
  EXPECT_EQ(env.NlsLang(), "AMERICAN_AMERICA.WE8ISO8859P1");
  EXPECT_EQ(env.OracleSid(), "");

  const char* oratab =
      "# comment:/not/this:N\n\n   \nbroken line\nNOHOME::N\nREL:relative/home:Y\n"
      "  PROD:/u01/app/oracle/product/9.2:Y\r\nTEST:/u02/other:N\n";
  env = read({{"ORACLE_HOME", ""}}, oratab, 0);
  EXPECT_EQ(env.OracleHome(), "/u01/app/oracle/product/9.2");
  EXPECT_EQ(env.OracleSid(), "PROD");
  env = read({{"ORACLE_SID", "MINE"}}, oratab, 0);
  EXPECT_EQ(env.OracleSid(), "MINE");
  env = read({}, "*:/u03/client:N", 0);
  EXPECT_EQ(env.OracleHome(), "/u03/client");
  EXPECT_EQ(env.OracleSid(), "");

  for (const char* none : {static_cast<const char*>(nullptr), "", "# only:/a:N\nX::N\n"}) {
    env = read({{"ORACLE_SID", "S"}}, none, -1);
    EXPECT_EQ(env.OracleHome(), "");
    env.DetectToolNames();
    EXPECT_EQ(env.ExportTool(), "exp");
  }
}

TEST_F(OraEnvTest, OldToolNamesOnlyWhenTheHomeHasExp80AndNoExp) {
  const std::string bin = dir_ + "/bin";
  std::filesystem::create_directory(bin);
  TOraEnv env = read({{"ORACLE_HOME", dir_}}, nullptr, 0);
  const struct {
    bool exp80, exp;
    const char *script, *exportTool, *importTool;
  } cases[] = {{false, false, "sqlplus", "exp", "imp"},
               {true, false, "plus80", "exp80", "imp80"},
               {true, true, "sqlplus", "exp", "imp"},
               {false, true, "sqlplus", "exp", "imp"}};
  for (const auto& c : cases) {
    for (const char* name : {"exp80", "exp"}) std::filesystem::remove(bin + "/" + name);
    if (c.exp80) std::ofstream(bin + "/exp80") << "";
    if (c.exp) std::ofstream(bin + "/exp") << "";
    env.DetectToolNames();
    EXPECT_EQ(env.ScriptTool(), c.script);
    EXPECT_EQ(env.ExportTool(), c.exportTool);
    EXPECT_EQ(env.ImportTool(), c.importTool);
  }
}

}  // namespace
}  // namespace tasks
