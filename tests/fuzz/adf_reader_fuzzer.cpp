// Feeds arbitrary bytes to the analysis-file reader as a file. The reader must either refuse the
// file with a message and leave the tree empty, or fill it with nodes whose ranges lie inside the
// file; a tree it accepts must save and read back unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "dumpfile/u_analysisfile.h"
#include "tests/fuzz/fuzz_test_util.h"
#include "tools/dumpbuilder/treelines.h"

namespace {

using fuzz_test::ScratchFile;

void check(bool ok) {
  if (!ok) std::abort();
}

int countNodes(const dumpfile::TExpFileRoot& root, int64_t fileSize) {
  int n = 0;
  auto inside = [&](const dumpfile::TExpFileNode& node) {
    check(node.Length() >= 0 && node.StartOffset() >= 0 && node.StartOffset() + node.Length() <= fileSize);
    check(node.Kind() < dumpfile::kKindCount);
    ++n;
  };
  dumpfile::TExpFileNode* node = nullptr;
  for (int i = 0; root.GetPublicObject(i, node); ++i) inside(*node);
  dumpfile::TExpFileUser* owner = nullptr;
  for (int i = 0; root.GetUser(i, owner); ++i) {
    inside(*owner);
    for (int j = 0; owner->GetNode(j, node); ++j) inside(*node);
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile inputFile("in.adf");
  static const ScratchFile againFile("again.adf");
  const std::string& input = inputFile.path;
  const std::string& again = againFile.path;
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  const bool looksLikeOne = dumpfile::IsAnalysisFile(input);

  dumpfile::TExpFileRoot root;
  root.SetDumpFileName(input);
  root.SetSourceKind(dumpfile::kSourceAnalysisFile);
  {
    dumpfile::TReaddfp reader(root, nullptr, nullptr);
    reader.Execute();
  }
  const int nodes = countNodes(root, int64_t(size));
  if (!root.Message().empty()) {
    check(nodes == 0);
    return 0;
  }
  check(looksLikeOne);

  {
    dumpfile::TSavedfp saver(again, root, nullptr, nullptr);
    saver.SetSaveTimeText("2000-01-01 00:00:00");
    saver.Execute();
  }
  check(root.Message().empty());
  dumpfile::TExpFileRoot back;
  back.SetDumpFileName(again);
  {
    dumpfile::TReaddfp reader(back, nullptr, nullptr);
    reader.Execute();
  }
  check(back.Message().empty());
  check(countNodes(back, int64_t(std::filesystem::file_size(again))) == nodes);
  return 0;
}
