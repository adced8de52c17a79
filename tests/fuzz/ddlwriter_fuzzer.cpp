// Feeds arbitrary bytes to the dump reader as a dump and then writes the definition files of
// whatever it read, as Export DDL on the top node does: a damaged dump gives definitions or a
// message, never a crash or a read outside the file. Every object the reader found gives a
// statement: the tree and the definitions agree.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "dumpfile/ddltext.h"
#include "dumpfile/u_parsedumpfile.h"
#include "dumpfile/u_saveobjddl.h"
#include "tests/fuzz/fuzz_test_util.h"

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
    if (dumpfile::DdlStatements(dump.substr(size_t(node.StartOffset()), size_t(node.Length()))).empty())
      std::abort();
  });
  root.SetMessage("");
  root.SetOutputDir(folder.path);
  dumpfile::SelectAllKinds(root);
  dumpfile::TSaveObjDDl writer(root, nullptr, nullptr);
  writer.Execute();
  return 0;
}
