#include "tools/dumpbuilder/treelines.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace dumpbuilder {

bool readHeaderFacts(const std::string& path, HeaderFacts& facts) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string head(2048, '\0');
  in.read(head.data(), std::streamsize(head.size()));
  head.resize(size_t(in.gcount()));
  head.resize(std::max<size_t>(head.size(), 3), '\0');

  char id[8];
  std::snprintf(id, sizeof id, "%02X%02X", unsigned(uint8_t(head[1])), unsigned(uint8_t(head[2])));
  facts.charset = id;

  std::string line;
  int lineNo = 0;
  for (char ch : head) {
    const auto b = uint8_t(ch);
    if (b >= 32 && b <= 125) {
      line += ch;
    } else if (b == 10) {
      ++lineNo;
      if (lineNo == 1) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
        const size_t at = lower.find("export");
        if (at != std::string::npos) facts.version = line.substr(at, 16);
      } else if (lineNo == 2) {
        facts.user = line.empty() ? "" : line.substr(1);
      } else if (lineNo == 3) {
        facts.modeText = line.empty() ? "" : line.substr(1);
        break;
      }
      line.clear();
    }
  }
  std::string lower = facts.modeText;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (lower.find("entire") != std::string::npos) facts.mode = 1;
  if (lower.find("user") != std::string::npos) facts.mode = 2;
  if (lower.find("table") != std::string::npos) facts.mode = 3;
  return true;
}

void prepareRoot(dumpfile::TExpFileRoot& root, const std::string& path, const HeaderFacts& facts) {
  root.SetDumpFileName(path);
  root.SetSourceKind(dumpfile::kSourceDumpFile);
  root.SetExportUser(facts.user);
  root.SetExportModeText(facts.modeText);
  root.SetExportVersion(facts.version);
  root.SetNlsLang(facts.charset);
  root.SetExportMode(facts.mode);
}

std::vector<std::string> treeLines(const dumpfile::TExpFileRoot& root) {
  std::vector<std::string> lines;
  auto add = [&](std::string_view ownerName, const dumpfile::TExpFileNode& n) {
    const std::string owner(ownerName);
    lines.push_back(owner + "\t" + std::to_string(int(n.Kind())) + "\t" + std::string(n.Name()) + "\t" +
                    std::to_string(n.StartOffset()) + "\t" + std::to_string(n.Length()));
  };
  dumpfile::ForEachNode(root, [&](const dumpfile::TExpFileNode& node, const dumpfile::TExpFileUser* owner) {
    add(owner != nullptr ? owner->Name() : std::string_view("-"), node);
  });
  return lines;
}

}  // namespace dumpbuilder
