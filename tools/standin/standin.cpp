// Stand-in for the database's console programs, for tests of the task runner.
//
// Acts by the name it was started under: exp or exp80 (export), imp or imp80 (import), sqlplus
// or plus80 (script runner). Every run appends one record to the log named by
// VELMARON_STANDIN_LOG: its name, each argument, its folder, NLS_LANG, every line of the parameter
// file named by parfile=, and every line of its standard input (script runner only, at most its
// first 16 MiB). As script runner it runs the script of each "@" line: the path up to the first
// blank, or in double quotes. A parameter or dump file that is not a regular file is refused. Control bytes
// in the log are escaped (\r, \xNN, \\), so a record is plain lines.
//
// As export it writes the dump file named by file= (default expdat.dmp, relative to its folder)
// through the dump builder, header included; as import it reads that file's header, and a file
// whose header names no export ends the import unsuccessfully. It prints banner and
// result lines, some to standard error, with mixed CRLF and LF line ends.
//
// --help, and no argument under its own name, print the usage.
//
// Switches (environment):
//   VELMARON_STANDIN_EXIT=n        exit code (default 0, or 1 when the run itself failed)
//   VELMARON_STANDIN_DELAY_MS=n    sleep n ms before ending
//   VELMARON_STANDIN_RAW=text      print exactly these bytes (escapes \r \n \t \0 \\ \xNN) to
//                                  standard output instead of the usual lines
//   VELMARON_STANDIN_RAW_ERR=text  the same, to standard error, after RAW
//   VELMARON_STANDIN_GRANDCHILD=n  start a grandchild that keeps the output open for n ms
//   VELMARON_STANDIN_DETACH=1      the grandchild leaves the process group for a session of its own
//   VELMARON_STANDIN_READY=path    after the output (and the grandchild), write "pid grandchildpid"
//                                  and a line feed to this file or FIFO, then go on to the delay
//   VELMARON_STANDIN_NODUMP=1      export writes no dump file
//   VELMARON_STANDIN_WRITE_MS=n    a slow writer: export holds its dump locked for n ms while it
//                                  writes it; export and import note "dump-shared: " and the file
//                                  when another stand-in holds that lock, and "log-shared: " and
//                                  the log file when another holds the lock of the log that they
//                                  hold from their start to their end
//
// Export and import make the file named by log= (relative to their folder) anew when they start
// and write into it, when they end, what they printed.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/oserror.h"
#include "platform/plainfile.h"
#include "tools/dumpbuilder/dumpbuilder.h"

namespace {

enum class Role { Export, Import, Script };

std::string envText(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

long envNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  return std::strtol(v, nullptr, 10);
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string escape(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 32 || c == 127) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char e = s[++i];
    switch (e) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
        out += '\0';
        break;
      case 'x':
        if (i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
          out += char(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
          i += 2;
        } else {
          out += 'x';
        }
        break;
      default:
        out += e;
        break;
    }
  }
  return out;
}

void writeAll(int fd, std::string_view s) {
  while (!s.empty()) {
    ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    s.remove_prefix(size_t(n));
  }
}

// What the program prints, kept for the log file named by log=.
std::string printed;

void out(std::string_view s) {
  printed += s;
  writeAll(1, s);
}
void err(std::string_view s) {
  printed += s;
  writeAll(2, s);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Reads from `fd` up to `limit` bytes into `text`; false with `why` set on a read error.
bool readUpTo(int fd, size_t limit, std::string& text, std::string& why) {
  char buf[65536];
  while (text.size() < limit) {
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    text.append(buf, size_t(n));
  }
  return true;
}

// The file's size and up to `limit` of its first bytes; false with `why` set when it is missing,
// a folder, not a regular file (a FIFO is not waited on) or unreadable.
bool readRegular(const std::string& path, size_t limit, std::string& text, int64_t& size, std::string& why) {
  platform::InputFile file;
  size = file.open(path) ? file.size() : -1;
  if (size >= 0) {
    text.resize(size_t(std::min<int64_t>(size, int64_t(std::min<size_t>(limit, INT64_MAX)))));
    const int64_t got = file.readAt(0, text.data(), text.size());
    if (got >= 0) {
      text.resize(size_t(got));
      return true;
    }
  }
  why = file.error() == EISDIR                      ? "is a folder"
        : file.error() == platform::kNotRegularFile ? "is not a regular file"
                                                    : platform::errorText(file.error());
  return false;
}

// The whole of a small text file (a parameter file).
bool readFile(const std::string& path, std::string& text, std::string& why) {
  int64_t size = 0;
  return readRegular(path, SIZE_MAX, text, size, why);
}

// What the import reads of a dump: its size and its first bytes, however large the file is and
// whether or not it has line feeds.
constexpr size_t kDumpHeadBytes = 4096;
bool readDumpHead(const std::string& path, int64_t& size, std::string& head, std::string& why) {
  return readRegular(path, kDumpHeadBytes, head, size, why);
}

// Standard input up to a bound, so that an endless source (/dev/zero) ends the reading instead
// of exhausting memory; what lies beyond is not read.
constexpr size_t kInputLimit = 16u << 20;
std::string readStdin() {
  std::string all, why;
  readUpTo(0, kInputLimit, all, why);
  return all;
}

// keyword=value pairs of the arguments and the parameter file; later ones win, keywords in
// lower case, values without a trailing carriage return.
void collectPairs(const std::vector<std::string>& items, std::map<std::string, std::string>& pairs) {
  for (std::string item : items) {
    if (!item.empty() && item.back() == '\r') item.pop_back();
    size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    pairs[lower(item.substr(0, eq))] = item.substr(eq + 1);
  }
}

uint16_t charsetId(const std::string& nlsLang) {
  std::string cs =
      upper(nlsLang.substr(nlsLang.find('.') == std::string::npos ? nlsLang.size() : nlsLang.find('.') + 1));
  if (cs == "US7ASCII") return 1;
  if (cs == "EE8PC852") return 150;
  if (cs == "ZHS16GBK") return 852;
  if (cs == "UTF8") return 871;
  return 31;  // WE8ISO8859P1
}

std::string charsetName(uint16_t id) {
  switch (id) {
    case 1:
      return "US7ASCII";
    case 150:
      return "EE8PC852";
    case 852:
      return "ZHS16GBK";
    case 871:
      return "UTF8";
    default:
      return "WE8ISO8859P1";
  }
}

std::string userOf(const std::string& userid) {
  size_t end = userid.find_first_of("/@");
  return upper(userid.substr(0, end));
}

// A small dump as the export program leaves it: the header (first byte, character-set id, version,
// user and mode lines), the user's connect, one table with a few rows, the closing line.
void writeDump(const std::string& path, uint16_t charset, const std::string& user, dumpbuilder::Mode mode) {
  dumpbuilder::DumpWriter dump(path, mode, user, dumpbuilder::Endings::Lf, 1);
  dump.header(charset, "V08.01.07");
  dump.connect(user);
  dump.create(dumpbuilder::Head::Table, "DEPT", "(\"DEPTNO\" NUMBER(2, 0), \"DNAME\" VARCHAR2(14))");
  dump.rows(256);
  dump.other("EXIT");
  dump.finish();
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = argv[0];
  if (size_t slash = name.rfind('/'); slash != std::string::npos) name = name.substr(slash + 1);
  if ((argc == 2 && std::string(argv[1]) == "--help") || (argc == 1 && name == "standin")) {
    std::printf(
        "usage: exp|imp|sqlplus|exp80|imp80|plus80 [KEYWORD=VALUE]...\n"
        "  (standin started through a link of one of those names)\n");
    return 0;
  }
  Role role;
  if (name == "exp" || name == "exp80") {
    role = Role::Export;
  } else if (name == "imp" || name == "imp80") {
    role = Role::Import;
  } else if (name == "sqlplus" || name == "plus80") {
    role = Role::Script;
  } else {
    err("standin: start me as exp, imp, sqlplus, exp80, imp80 or plus80\n");
    return 2;
  }

  std::vector<std::string> args(argv + 1, argv + argc);
  std::map<std::string, std::string> pairs;
  collectPairs(args, pairs);

  int code = 0;
  std::string notes;
  // A failure of the run's own, told on standard error; the run then ends unsuccessfully.
  std::string failure;
  std::string parfileText;
  bool parfileRead = false, parfileFailed = false;
  if (auto it = pairs.find("parfile"); it != pairs.end()) {
    std::string why;
    parfileRead = readFile(it->second, parfileText, why);
    parfileFailed = !parfileRead;
    if (parfileFailed) {
      notes += "parfile-unreadable: " + escape(it->second) + ": " + escape(why) + "\n";
      failure = "standin: cannot read parameter file " + it->second + ": " + why + "\n";
      code = 1;
    }
    collectPairs(splitLines(parfileText), pairs);
    collectPairs(args, pairs);  // the command line wins over the parameter file
  }
  std::string input;
  if (role == Role::Script) input = readStdin();

  char cwdBuf[4096];
  std::string cwd = ::getcwd(cwdBuf, sizeof cwdBuf) ? cwdBuf : "?";
  const char* nls = std::getenv("NLS_LANG");

  std::string userid = pairs.count("userid") ? pairs["userid"] : std::string();

  // The log file is made anew when the run begins and receives what the run prints when it ends.
  int logFd = -1;
  if (role != Role::Script && pairs.count("log") && !pairs["log"].empty()) {
    const std::string& log = pairs["log"];
    logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (logFd < 0) {
      notes += "log-failed: " + escape(log) + ": " + escape(std::strerror(errno)) + "\n";
    } else if (envNumber("VELMARON_STANDIN_WRITE_MS", 0) > 0 && ::flock(logFd, LOCK_EX | LOCK_NB) != 0) {
      notes += "log-shared: " + escape(log) + "\n";
    }
  }

  if (role == Role::Export) {
    std::string file = pairs.count("file") ? pairs["file"] : "expdat.dmp";
    dumpbuilder::Mode mode = dumpbuilder::Mode::Users;
    if (lower(pairs["full"]) == "y")
      mode = dumpbuilder::Mode::Entire;
    else if (!pairs["tables"].empty())
      mode = dumpbuilder::Mode::Tables;
    if (userid.empty()) {
      code = 1;
    } else if (code == 0 && envText("VELMARON_STANDIN_NODUMP").empty()) {
      const long writeMs = envNumber("VELMARON_STANDIN_WRITE_MS", 0);
      int lockFd = -1;
      if (writeMs > 0) {
        lockFd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd >= 0 && ::flock(lockFd, LOCK_EX | LOCK_NB) != 0)
          notes += "dump-shared: " + escape(file) + "\n";
      }
      try {
        writeDump(file, charsetId(nls ? nls : ""), userOf(userid), mode);
        if (writeMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(writeMs));
        notes += "dump-written: " + escape(file) + "\n";
      } catch (const std::exception& e) {
        notes += "dump-failed: " + escape(file) + ": " + escape(e.what()) + "\n";
        failure = "standin: cannot write " + file + ": " + e.what() + "\n";
        code = 1;
      }
      if (lockFd >= 0) ::close(lockFd);
    }
  } else if (role == Role::Import) {
    std::string file = pairs.count("file") ? pairs["file"] : "expdat.dmp";
    if (envNumber("VELMARON_STANDIN_WRITE_MS", 0) > 0) {
      if (int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0) notes += "dump-shared: " + escape(file) + "\n";
        ::close(fd);
      }
    }
    int64_t size = 0;
    std::string head, why;
    if (!readDumpHead(file, size, head, why) || head.size() < 4) {
      notes += "dump-missing: " + escape(file) + "\n";
      if (failure.empty())
        failure = "standin: cannot read " + file + ": " + (why.empty() ? "too short" : why) + "\n";
      code = 1;
    } else if (head.compare(3, 8, "EXPORT:V") != 0) {
      // Not a dump: the header names no export.
      notes += "dump-invalid: " + escape(file) + "\n";
      if (failure.empty()) failure = "IMP-00010: not a valid export file, header failed verification\n";
      code = 1;
    } else {
      std::string first = head.substr(3, head.find('\n', 3) - 3);
      notes += "dump-read: " + escape(file) + " bytes=" + std::to_string(size) +
               " charset=" + std::to_string((uint8_t(head[1]) << 8) | uint8_t(head[2])) +
               " header=" + escape(first) + "\n";
    }
    if (userid.empty()) {
      notes += "no-account\n";
      code = 1;
    }
  }

  std::string record = "program: " + name + "\n";
  for (const std::string& a : args) record += "arg: " + escape(a) + "\n";
  record += "cwd: " + escape(cwd) + "\n";
  record += nls ? "NLS_LANG: " + escape(nls) + "\n" : std::string("NLS_LANG unset\n");
  if (parfileRead) {
    for (const std::string& line : splitLines(parfileText)) record += "parfile: " + escape(line) + "\n";
  }
  for (const std::string& line : splitLines(input)) record += "stdin: " + escape(line) + "\n";
  record += notes;
  record += "end\n";
  if (std::string log = envText("VELMARON_STANDIN_LOG"); !log.empty()) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      writeAll(fd, record);  // one write per record, so that concurrent runs do not interleave
      ::close(fd);
    }
  }

  if (const char* raw = std::getenv("VELMARON_STANDIN_RAW")) {
    out(unescape(raw));
    if (const char* rawErr = std::getenv("VELMARON_STANDIN_RAW_ERR")) err(unescape(rawErr));
  } else if (role == Role::Export) {
    out("\r\nExport: Release 8.1.7.0.0 - Production\r\n\r\n");
    if (parfileFailed) {
      err(failure);
      err("Export terminated unsuccessfully\n");
    } else if (userid.empty()) {
      err("EXP-00004: invalid username or password\n");
      err("Export terminated unsuccessfully\n");
    } else if (code != 0) {
      err(failure);
      err("Export terminated unsuccessfully\n");
    } else {
      err("Connected to the database\n");
      out("Export done in " + charsetName(charsetId(nls ? nls : "")) + " character set\r\n");
      out(". exporting user " + userOf(userid) + "\n");
      err("Export terminated successfully without warnings.\n");
    }
  } else if (role == Role::Import) {
    out("\r\nImport: Release 8.1.7.0.0 - Production\r\n\r\n");
    if (parfileFailed) {
      err(failure);
      err("Import terminated unsuccessfully\n");
    } else if (userid.empty()) {
      err("IMP-00004: invalid username or password\n");
      err("Import terminated unsuccessfully\n");
    } else if (code != 0) {
      if (notes.find("dump-invalid: ") == std::string::npos)
        err("IMP-00002: failed to open " + (pairs.count("file") ? pairs["file"] : "expdat.dmp") +
            " for read\n");
      err(failure);
      err("Import terminated unsuccessfully\n");
    } else {
      out("Export file created by EXPORT:V08.01.07 via conventional path\r\n");
      err("Import terminated successfully without warnings.\n");
    }
  } else {
    out("\r\nScript runner: Release 8.1.7.0.0 - Production\r\n\r\n");
    err(failure);
    for (const std::string& raw : splitLines(input)) {
      std::string line = raw;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (upper(line.substr(0, 8)) == "CONNECT ") {
        out(line.find('/') != std::string::npos ? "Connected.\n" : "ERROR: invalid logon\r\n");
      } else if (!line.empty() && line[0] == '@') {
        // The path ends at the first blank, where the script's arguments begin, unless it stands
        // in double quotes.
        std::string path = line.substr(1);
        if (path.starts_with('"')) {
          path = path.substr(
              1, path.find('"', 1) == std::string::npos ? std::string::npos : path.find('"', 1) - 1);
        } else {
          path = path.substr(0, path.find_first_of(" \t"));
        }
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
          out("Running " + path + "\r\n");
        } else {
          err("unable to open file \"" + path + "\"\n");
        }
      }
    }
    out("Disconnected\n");
  }

  if (logFd >= 0) {
    writeAll(logFd, printed);
    ::close(logFd);
  }

  pid_t grandchild = 0;
  if (long keep = envNumber("VELMARON_STANDIN_GRANDCHILD", 0); keep > 0) {
    grandchild = ::fork();
    if (grandchild == 0) {
      if (!envText("VELMARON_STANDIN_DETACH").empty()) ::setsid();
      std::this_thread::sleep_for(std::chrono::milliseconds(keep));
      ::_exit(0);
    }
    if (grandchild < 0) grandchild = 0;
  }
  if (std::string ready = envText("VELMARON_STANDIN_READY"); !ready.empty()) {
    int fd = ::open(ready.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      writeAll(fd, std::to_string(::getpid()) + " " + std::to_string(grandchild) + "\n");
      ::close(fd);
    }
  }
  if (long delay = envNumber("VELMARON_STANDIN_DELAY_MS", 0); delay > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  }
  return int(envNumber("VELMARON_STANDIN_EXIT", code));
}
