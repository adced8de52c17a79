#include "ui/programsettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>
#include <cstdlib>
#include <filesystem>

#include "platform/osfile.h"
#include "platform/privatefile.h"
#include "platform/processinfo.h"
#include "tasks/u_common.h"

namespace ui {
namespace {

QString q(const std::string& text) {
  return QString::fromStdString(text);
}
std::string s(const QString& text) {
  return text.toStdString();
}

// A stored text as the file holds it: a text that is not UTF-8 (a path of a system that names its
// files in another encoding) is kept as its bytes, which a text value could not carry.
QVariant storedText(const std::string& text) {
  const QString asText = q(text);
  if (asText.toStdString() == text) return asText;
  return QByteArray(text.data(), qsizetype(text.size()));
}
std::string readText(const QVariant& value) {
  if (value.typeId() == QMetaType::QByteArray) return value.toByteArray().toStdString();
  return s(value.toString());
}

bool isFolder(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_directory(path, ec);
}

std::string privateFolderIn(const std::string& parent, const std::string& name) {
  std::string base = parent;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string folder = base + "/" + name;
  std::error_code ec;
  std::filesystem::create_directories(base, ec);
  platform::makePrivateFolder(folder);
  return folder;
}

// Writes `file` out. A damaged line read from the file leaves its status at FormatError, though
// the write drops that line and succeeds, and hides a failed write too: with a damaged file, the
// write succeeded when it put a new file in place. The file is replaced, never rewritten where
// it lies, so a new identity shows it; a time stamp would not, as file times follow a coarse clock.
bool synced(QSettings& file) {
  const std::string path = s(file.fileName());
  platform::FileSystem& fs = platform::FileSystem::local();
  platform::FileInfo before, after;
  const bool existed = fs.fileInfo(path, before);
  file.sync();
  if (file.status() != QSettings::FormatError) return file.status() == QSettings::NoError;
  return fs.fileInfo(path, after) && (!existed || !(after.identity == before.identity));
}

}  // namespace

ProgramSettings& Settings() {
  static ProgramSettings settings;
  return settings;
}

ClientNls& ClientCharset() {
  static ClientNls nls;
  return nls;
}

std::string SettingsFilePath() {
  return s(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)) +
         "/velmaron/velmaron.conf";
}

int ParseMaxTasks(std::string_view text) {
  bool ok = false;
  const int value = QString::fromUtf8(text.data(), qsizetype(text.size())).trimmed().toInt(&ok);
  if (!ok) return 5;
  return value < 1 ? 1 : value;
}

std::string ApplyWorkFolderRule(const std::string& folder) {
  // A folder others may write is no place for the parameter files, which hold the account: every
  // run there would be refused.
  if (isFolder(folder) && platform::isPrivateFolder(folder)) return folder;
  const std::string name = "velmaron-" + std::to_string(platform::currentUserId());
  try {
    return privateFolderIn(tasks::GetSystemTempDir(), name);
  } catch (const std::exception&) {
    // Someone else holds that name in the shared folder: use the user's own cache instead.
  }
  return privateFolderIn(s(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)),
                         "velmaron");
}

ClientNls ParseNlsLang(std::string_view value) {
  ClientNls nls;
  const size_t u = value.find('_');
  const size_t d = value.find('.');
  const bool hasU = u != std::string_view::npos, hasD = d != std::string_view::npos;
  if (hasU) nls.language = std::string(value.substr(0, u));
  if (hasD) nls.charset = std::string(value.substr(d + 1));
  if (hasU && hasD) nls.territory = d > u ? std::string(value.substr(u + 1, d - u - 1)) : std::string();
  return nls;
}

std::string CurrentNlsLang() {
  QSettings file(q(SettingsFilePath()), QSettings::IniFormat);
  const QString stored = file.value("oracle/NLS_LANG").toString();
  if (!stored.isEmpty()) return s(stored);
  const char* env = std::getenv("NLS_LANG");
  return env ? env : "";
}

bool StoreNlsLang(const std::string& value) {
  QSettings file(q(SettingsFilePath()), QSettings::IniFormat);
  file.setValue("oracle/NLS_LANG", q(value));
  return synced(file);
}

std::string ReadSettings(const ToolNames& tools) {
  ProgramSettings& settings = Settings();
  QSettings file(q(SettingsFilePath()), QSettings::IniFormat);
  auto program = [&](const char* key, const std::string& fallback) {
    const std::string value = readText(file.value(key));
    return value.empty() ? fallback : value;
  };
  settings.sqlpluscmd = program("sqlpluscmd", tools.sqlplus);
  settings.expcmd = program("expcmd", tools.exp);
  settings.impcmd = program("impcmd", tools.imp);
  settings.maxtasks = file.contains("maxtasks") ? ParseMaxTasks(s(file.value("maxtasks").toString())) : 5;
  settings.tmpdir = ApplyWorkFolderRule(readText(file.value("tmpdir")));
  settings.tipsatstartup = file.value("tipsatstartup", ProgramSettings{}.tipsatstartup).toBool();
  ClientCharset() = ParseNlsLang(CurrentNlsLang());
  if (file.status() == QSettings::NoError) return {};
  const std::string path = SettingsFilePath();
  std::string text = "The settings file " + path + " could not be read whole";
  if (file.status() == QSettings::FormatError) {
    const std::string copy =
        path + ".damaged-" + s(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss")));
    std::error_code ec;
    std::filesystem::copy_file(path, copy, ec);
    text +=
        ec ? " and could not be kept as it was (" + ec.message() + ")" : "; it is kept as it was in " + copy;
  }
  return text + ". Every setting it did not give takes its default.";
}

bool WriteSettings() {
  const ProgramSettings& settings = Settings();
  QSettings file(q(SettingsFilePath()), QSettings::IniFormat);
  file.setValue("sqlpluscmd", storedText(settings.sqlpluscmd));
  file.setValue("expcmd", storedText(settings.expcmd));
  file.setValue("impcmd", storedText(settings.impcmd));
  file.setValue("version", q(std::string(kProgramVersion)));
  file.setValue("program name", q(std::string(kProgramName)));
  file.setValue("tmpdir", storedText(settings.tmpdir));
  file.setValue("maxtasks", QString::number(settings.maxtasks));
  file.setValue("tipsatstartup", settings.tipsatstartup);
  return synced(file);
}

}  // namespace ui
