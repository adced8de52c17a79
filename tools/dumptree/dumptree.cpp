// dumptree [--helpers N] FILE: reads an export dump with the reader thread, the header facts taken from the
// file's first lines as the main window takes them, and prints one line per node
// (owner<TAB>kind<TAB>name<TAB>start<TAB>length; public objects first with owner "-", then each
// owner's own node followed by its objects), then a last line "# ..." with the bytes read and
// the speed. A reading that ends with a message prints it on standard error and exits with 1, and
// so does a file that is not an export dump by its header (no "export" in its first line).
// --helpers sets how many helper threads cut the file beside the reader, at most the processor
// count; more is refused.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "dumpfile/u_parsedumpfile.h"
#include "tasks/u_common.h"
#include "tools/dumpbuilder/treelines.h"

int main(int argc, char** argv) {
  int helpers = -1;
  int arg = 1;
  if (argc == 4 && std::string(argv[1]) == "--helpers") {
    const std::string_view text = argv[2];
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), helpers);
    const int most = dumpfile::TParseDumpfile::MaxHelpers();
    if (ec != std::errc() || end != text.data() + text.size() || helpers < 0 || helpers > most) {
      std::cerr << "dumptree: --helpers takes a number from 0 to " << most << " (the processor count)\n";
      return 2;
    }
    arg = 3;
  }
  if (argc != arg + 1) {
    std::cerr << "usage: dumptree [--helpers N] FILE\n";
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
  const std::string message = root.Message();
  if (!message.empty()) {
    std::cerr << "dumptree: " << message << '\n';
    return 1;
  }
  return 0;
}
