// The program settings: read once when the main window is created, changed by the system option
// dialog, written once when the main window closes. They live in an INI file under the user's
// configuration folder ($XDG_CONFIG_HOME or ~/.config, then "velmaron/velmaron.conf").
//
// Threads: window thread only; the task engine reads them on that thread.
#pragma once

#include <string>
#include <string_view>

namespace ui {

inline constexpr std::string_view kProgramName = "Velmaron for Oracle";
inline constexpr std::string_view kProgramVersion = "1.2.0";

struct ProgramSettings {
  std::string sqlpluscmd, expcmd, impcmd;
  int maxtasks = 5;
  std::string tmpdir;
  bool tipsatstartup = true;
};

// The client side of NLS_LANG (LANGUAGE_TERRITORY.CHARSET).
struct ClientNls {
  std::string language = "American";
  std::string territory = "America";
  std::string charset;
};

// The names the Oracle programs go by when the settings do not name them.
struct ToolNames {
  std::string sqlplus = "sqlplus", exp = "exp", imp = "imp";
};

// The process-wide settings.
ProgramSettings& Settings();
ClientNls& ClientCharset();

// The settings file's path.
std::string SettingsFilePath();

// A task count as typed or stored: a number below 1 would run nothing and becomes 1; text that
// is no number becomes 5.
int ParseMaxTasks(std::string_view text);

// The work folder to use for `folder`: the folder itself when it exists and is private to this
// user (see platform::isPrivateFolder); otherwise (missing, empty or open to others) a private
// folder of this user under the system's temporary folder, created with mode 0700, or under
// ~/.cache when that one cannot be made safe. Never a folder shared with others.
std::string ApplyWorkFolderRule(const std::string& folder);

// Splits an NLS_LANG value over the defaults: the language before the first "_", the character
// set after the first ".", the territory between them only when both are there.
ClientNls ParseNlsLang(std::string_view value);

// NLS_LANG as the program hands it on: the settings file's [oracle] value when set, else the
// environment's.
std::string CurrentNlsLang();
// Stores NLS_LANG in the settings file's [oracle] group. False when the file cannot be written.
bool StoreNlsLang(const std::string& value);

// Paths that are not UTF-8 are stored as their bytes and read back as they were.
//
// Reads every setting and the client character set: a missing setting takes its default (program
// names from `tools`), so nothing of an earlier reading stays behind. A file that cannot be read
// whole (a damaged line, no right to read it) gives what it could of it; a damaged one is first
// copied beside itself as it was (".damaged-" and the local time), since the next write keeps only
// what was read. Returns "" when the file was read whole or there is none, else the text that
// tells the user so, with the copy's path.
std::string ReadSettings(const ToolNames& tools);
// Writes the settings with the program's name and version. False when the file cannot be written.
bool WriteSettings();

}  // namespace ui
