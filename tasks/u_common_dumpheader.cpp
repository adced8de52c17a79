#include "tasks/u_common.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>

#include "platform/plainfile.h"

namespace tasks {

namespace {

// A header line without its first character and its line end; empty for a line of one or two.
std::string innerText(const std::string& line) {
  return line.size() <= 2 ? "" : line.substr(1, line.size() - 2);
}

// The character-set id at offsets 1 and 2 is binary, not text: an id such as 10 would otherwise
// end the first line early and hide the export line, so the scan starts after it.
void readLines(const unsigned char* bytes, size_t count, TDumpHeader& header) {
  std::string line;
  int lines = 0;
  for (size_t i = 0; i < count && lines < 3; ++i) {
    if (i == 1 || i == 2) continue;
    const unsigned char b = bytes[i];
    if (b >= 32 && b <= 125) {
      line += char(b);
      continue;
    }
    if (b != '\n') continue;
    line += '\n';
    ++lines;
    if (lines == 1) {
      std::string lower = line;
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
      const size_t at = lower.find("export");
      header.isExport = at != std::string::npos;
      // The version never takes the line end of a short first line.
      if (header.isExport) header.version = line.substr(at, std::min<size_t>(16, line.size() - 1 - at));
    } else if (lines == 2) {
      header.user = innerText(line);
    } else {
      header.mode = innerText(line);
    }
    line.clear();
  }
}

}  // namespace

bool ReadDumpHeader(const std::string& path, TDumpHeader& header) {
  header = TDumpHeader{};
  try {
    platform::InputFile file;
    if (!file.open(path)) return false;
    const int64_t size = file.size();
    if (size < 0) return false;
    std::array<unsigned char, kDumpHeaderSize> bytes{};
    const int64_t got = file.readAt(0, bytes.data(), size_t(std::min<int64_t>(size, kDumpHeaderSize)));
    if (got < 0) return false;
    char hexId[8];
    std::snprintf(hexId, sizeof hexId, "%02X%02X", bytes[1], bytes[2]);
    header.charset = CharsetCaption(LookupCharsetName(hexId));
    readLines(bytes.data(), size_t(got), header);
    return true;
  } catch (const std::exception&) {
    header = TDumpHeader{};
    return false;
  }
}

bool ReadDumpHeaderBytes(const std::string& path, std::string& bytes) {
  bytes.assign(kDumpHeaderSize, '\0');
  platform::InputFile file;
  if (!file.open(path)) return false;
  size_t got = 0;
  while (got < kDumpHeaderSize) {
    const int64_t n = file.readAt(int64_t(got), bytes.data() + got, kDumpHeaderSize - got);
    if (n < 0) return false;
    if (n == 0) break;
    got += size_t(n);
  }
  return true;
}

std::string DumpHeaderFileName(const std::string& dumpFile) {
  return std::filesystem::path(dumpFile).filename().replace_extension(".hed").string();
}

bool WriteDumpHeaderFile(const std::string& target, const std::string& bytes) {
  platform::ReplacingFile out;
  return out.begin(target) && out.write(bytes) && out.commit();
}

}  // namespace tasks
