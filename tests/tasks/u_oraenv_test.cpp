#include "tasks/u_oraenv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "tests/platform/temp_folder.h"

namespace tasks {
namespace {

// Each case: the variables, the oratab (none when null), then the result and what was found.
TEST(OraEnvTest, HomeComesFromTheEnvironmentElseFromTheFirstUsableOratabEntry) {
  platform::testing::TempFolder dir;
  const char* oratab =
      "# c:/not/this:N\n\n   \nbroken line\nNOHOME::N\nREL:relative/home:Y\n  "
      "PROD:/u01/9.2:Y\r\nTEST:/u02:N\n";
  const struct {
    std::map<std::string, std::string> vars;
    const char* oratab;
    int result;
    const char* found;  // home|SID|NLS_LANG
  } cases[] = {
      {{{"ORACLE_HOME", "/u01/env"}, {"NLS_LANG", "AMERICAN_AMERICA.UTF8"}},
       oratab,
       0,
       "/u01/env||AMERICAN_AMERICA.UTF8"},
      {{{"ORACLE_HOME", ""}}, oratab, 0, "/u01/9.2|PROD|"},
      {{{"ORACLE_SID", "MINE"}}, oratab, 0, "/u01/9.2|MINE|"},
      {{}, "*:/u03/client:N", 0, "/u03/client||"},
      {{{"ORACLE_SID", "S"}}, nullptr, -1, "|S|"},
      {{}, "# only:/a:N\nX::N\n", -1, "||"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir.path("oratab"));
    if (c.oratab != nullptr) std::ofstream(dir.path("oratab")) << c.oratab;
    TOraEnv env(
        [&c](const std::string& name) -> std::optional<std::string> {
          auto it = c.vars.find(name);
          return it == c.vars.end() ? std::nullopt : std::optional(it->second);
        },
        dir.path("oratab"));
    EXPECT_EQ(env.ReadOracleHome(), c.result) << c.found;
    EXPECT_EQ(env.OracleHome() + "|" + env.OracleSid() + "|" + env.NlsLang(), c.found);
  }
}

TEST(OraEnvTest, OldToolNamesOnlyWhenTheHomeHasExp80AndNoExp) {
  platform::testing::TempFolder home;
  std::filesystem::create_directory(home.path("bin"));
  TOraEnv env(
      [&](const std::string& name) {
        return name == "ORACLE_HOME" ? std::optional(home.path()) : std::nullopt;
      },
      home.path("none"));
  ASSERT_EQ(env.ReadOracleHome(), 0);
  for (int files = 0; files < 4; ++files) {
    for (const char* name : {"exp80", "exp"}) std::filesystem::remove(home.path("bin/") + name);
    if (files & 1) std::ofstream(home.path("bin/exp80")) << "";
    if (files & 2) std::ofstream(home.path("bin/exp")) << "";
    env.DetectToolNames();
    EXPECT_EQ(env.ScriptTool() + " " + env.ExportTool() + " " + env.ImportTool(),
              files == 1 ? "plus80 exp80 imp80" : "sqlplus exp imp");
  }
}

}  // namespace
}  // namespace tasks
