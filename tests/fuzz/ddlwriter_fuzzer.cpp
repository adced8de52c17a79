// Feeds arbitrary bytes to the dump reader as a dump and then writes the definition files of
// whatever it read, as Export DDL on the top node does: a damaged dump gives definitions or a
// message, never a crash or a read outside the file. Every object the reader found gives a
// statement, and its first statement is the head the reader found it by (the head's line as the
// reader cut it, with what the reader drops and the blanks left out): the tree and the definitions agree. The
// run succeeds, leaves only the files it names, and a second run over them gives the same files.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dumpfile/ddltext.h"
#include "dumpfile/dumplinecutter.h"
#include "dumpfile/u_parsedumpfile.h"
#include "dumpfile/u_saveobjddl.h"
#include "tests/fuzz/fuzz_test_util.h"

namespace {

// The first line the reader cuts from `bytes`, with its blanks at either end left out.
std::string headLine(std::string_view bytes) {
  struct First : dumpfile::DumpLineCutter::Sink {
    std::string text;
    bool onLine(const dumpfile::DumpLineCutter::Line& line, int64_t) override {
      std::string scratch;
      text = line.text(scratch);
      return false;
    }
    bool onPlainLines(int64_t, int64_t, int64_t) override { return false; }
  } sink;
  dumpfile::DumpLineCutter cutter;
  if (cutter.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, sink))
    cutter.finish(int64_t(bytes.size()), sink);
  const size_t from = sink.text.find_first_not_of(' ');
  if (from == std::string::npos) return {};
  return sink.text.substr(from, sink.text.find_last_not_of(' ') + 1 - from);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const fuzz_test::ScratchFile file("ddl.dmp");
  static const fuzz_test::ScratchFile folder("ddl-out");
  {
    std::ofstream out(file.path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), std::streamsize(size - 1));
  }
  std::error_code ec;
  std::filesystem::remove_all(folder.path, ec);
  std::filesystem::create_directories(folder.path);
  dumpfile::TExpFileRoot root;
  root.SetDumpFileName(file.path);
  root.SetExportUser("SYSTEM");
  root.SetExportMode(1 + data[0] % 3);
  {
    dumpfile::TParseDumpfile reader(root, nullptr, nullptr);
    reader.Start();
    reader.WaitFor();
  }
  const std::string_view dump(reinterpret_cast<const char*>(data + 1), size - 1);
  dumpfile::ForEachNode(root, [&](const dumpfile::TExpFileNode& node, const dumpfile::TExpFileUser*) {
    if (node.StartOffset() < 0 || node.Length() <= 0) return;
    if (uint64_t(node.StartOffset()) + uint64_t(node.Length()) > dump.size()) std::abort();
    const std::string_view range = dump.substr(size_t(node.StartOffset()), size_t(node.Length()));
    const std::vector<dumpfile::DdlStatement> statements = dumpfile::DdlStatements(range);
    if (statements.empty()) std::abort();
    // Blanks are left out on both sides: a head written in pieces whose length byte is 0x20 keeps
    // that byte as a blank in the reader's line, while the definition joins the pieces.
    std::string first;
    for (char c : statements.front().text)
      if (uint8_t(c) > 0x20 && uint8_t(c) <= 0x7D) first += c;
    std::string head = headLine(range);
    std::erase(head, ' ');
    if (!first.starts_with(head)) std::abort();
  });
  root.SetMessage("");
  root.SetOutputDir(folder.path);
  dumpfile::SelectAllKinds(root);
  // The files as a run leaves them; a writer's temporary file left among them fails.
  auto written = [&] {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path)) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[entry.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
  };
  auto write = [&] {
    root.SetMessage("");
    dumpfile::TSaveObjDDl writer(root, nullptr, nullptr);
    writer.Execute();
    if (root.Message() != dumpfile::kSaveObjDdlDone) std::abort();
    const auto files = written();
    // Only the files the run names, and no temporary one.
    const std::vector<std::string> named = dumpfile::DefinitionFiles(root);
    for (const auto& [name, bytes] : files)
      if (std::find(named.begin(), named.end(), (std::filesystem::path(folder.path) / name).string()) ==
          named.end())
        std::abort();
    return files;
  };
  // A second run replaces the files of the first with the same ones.
  const auto first = write();
  if (write() != first) std::abort();
  return 0;
}
