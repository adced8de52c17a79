// dumptree [--helpers N] [--ddl FOLDER] FILE: reads an export dump with the reader thread, the
// header facts taken from the file's first lines as the main window takes them, and prints one line
// per node (owner<TAB>kind<TAB>name<TAB>start<TAB>length; public objects first with owner "-", then
// each owner's own node followed by its objects), then a last line "# ..." with the bytes read and
// the speed. A reading that ends with a message (a dump that ends before its closing records too)
// prints it on standard error and exits with 1, and so does a file that is not an export dump by
// its header (no "export" in its first line).
// --helpers sets how many helper threads cut the file beside the reader, at most the processor
// count; more is refused. --ddl also writes the definition files of the whole dump into FOLDER, as
// Export DDL on the tree's top node does (of what was read, when the dump ends early). --help (or no
// argument) prints the usage.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "dumpfile/u_parsedumpfile.h"
#include "dumpfile/u_saveobjddl.h"
#include "tasks/u_common.h"
#include "tools/dumpbuilder/treelines.h"

namespace {

constexpr std::string_view kUsage = "usage: dumptree [--helpers N] [--ddl FOLDER] FILE\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && std::string_view(argv[1]) == "--help")) {
    std::cout << kUsage;
    return 0;
  }
  int helpers = -1;
  std::string ddlFolder;
  int arg = 1;
  for (; arg + 1 < argc; arg += 2) {
    const std::string_view option = argv[arg];
    if (option == "--helpers") {
      const std::string_view text = argv[arg + 1];
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), helpers);
      const int most = dumpfile::TParseDumpfile::MaxHelpers();
      if (ec != std::errc() || end != text.data() + text.size() || helpers < 0 || helpers > most) {
        std::cerr << "dumptree: --helpers takes a number from 0 to " << most << " (the processor count)\n";
        return 2;
      }
    } else if (option == "--ddl") {
      ddlFolder = argv[arg + 1];
      if (!std::filesystem::is_directory(ddlFolder)) {
        std::cerr << "dumptree: Directory not exists: " << ddlFolder << '\n';
        return 2;
      }
    } else {
      break;
    }
  }
  if (argc != arg + 1) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string path = argv[arg];
  dumpbuilder::HeaderFacts facts;
  tasks::TDumpHeader header;
  if (!tasks::ReadDumpHeader(path, header) || !dumpbuilder::readHeaderFacts(path, facts)) {
    std::cerr << "dumptree: cannot read " << path << '\n';
    return 1;
  }
  if (!header.isExport) {
    std::cerr << "dumptree: " << path << " is not an export dump\n";
    return 1;
  }
  dumpfile::TExpFileRoot root;
  dumpbuilder::prepareRoot(root, path, facts);

  const auto begin = std::chrono::steady_clock::now();
  {
    dumpfile::TParseDumpfile reader(root, nullptr, nullptr);
    if (helpers >= 0) reader.SetParallelism(helpers);
    reader.Start();
    reader.WaitFor();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  for (const auto& line : dumpbuilder::treeLines(root)) std::cout << line << '\n';
  const int64_t bytes = root.ProcessedBytes();
  char summary[160];
  std::snprintf(summary, sizeof summary, "# %lld bytes read in %.3f s, %.1f MB/s",
                static_cast<long long>(bytes), seconds, seconds > 0 ? double(bytes) / 1e6 / seconds : 0.0);
  std::cout << summary << '\n';
  // A dump that ends early still gives the definitions of what was read.
  const std::string reading = root.Message();
  if (!ddlFolder.empty() && (reading.empty() || reading == dumpfile::kDumpEndsEarly)) {
    root.SetOutputDir(ddlFolder);
    dumpfile::SelectAllKinds(root);
    dumpfile::TSaveObjDDl writer(root, nullptr, nullptr);
    writer.Execute();
    if (root.Message() == dumpfile::kSaveObjDdlDone) root.SetMessage(reading);
  }
  const std::string message = root.Message();
  if (!message.empty()) {
    std::cerr << "dumptree: " << message << '\n';
    return 1;
  }
  return 0;
}
