// Feeds arbitrary bytes to the settings reader as the settings file. Reading never fails; what it
// read must survive the program's own save: read again, every setting and the stored NLS_LANG are
// what they were.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/fuzz/fuzz_test_util.h"
#include "ui/programsettings.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// A configuration folder of this process, removed at exit.
struct ConfigFolder {
  ConfigFolder() : scratch("config") {
    std::filesystem::create_directories(scratch.path + "/velmaron");
    ::setenv("XDG_CONFIG_HOME", scratch.path.c_str(), 1);
  }
  ~ConfigFolder() {
    std::error_code ec;
    std::filesystem::remove_all(scratch.path, ec);
  }
  fuzz_test::ScratchFile scratch;
};

bool same(const ui::ProgramSettings& a, const ui::ProgramSettings& b) {
  return a.sqlpluscmd == b.sqlpluscmd && a.expcmd == b.expcmd && a.impcmd == b.impcmd &&
         a.maxtasks == b.maxtasks && a.tmpdir == b.tmpdir && a.tipsatstartup == b.tipsatstartup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ConfigFolder config;
  {
    std::ofstream out(ui::SettingsFilePath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  const ui::ToolNames tools;
  ui::ReadSettings(tools);
  const ui::ProgramSettings first = ui::Settings();
  const std::string nls = ui::CurrentNlsLang();
  check(first.maxtasks >= 1 && !first.tmpdir.empty());
  check(ui::WriteSettings());
  ui::ReadSettings(tools);
  check(same(ui::Settings(), first));
  check(ui::CurrentNlsLang() == nls);
  return 0;
}
