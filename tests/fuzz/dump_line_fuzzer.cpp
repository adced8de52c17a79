// Feeds arbitrary bytes to the dump-file reader as a dump, cut into chunks and shared with
// helper threads as the first bytes choose, and compares the tree with the one a plain reading
// gives that hands every line to the recogniser with no shortcut. Every range must lie inside
// the file, and the reading is whole exactly when the dump ends with its two closing records.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "dumpfile/dumplinecutter.h"
#include "dumpfile/dumpyacc.h"
#include "dumpfile/u_parsedumpfile.h"
#include "tests/fuzz/fuzz_test_util.h"
#include "tools/dumpbuilder/treelines.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Every line, in full, to the recogniser.
class EveryLine : public dumpfile::DumpLineCutter::Sink {
 public:
  EveryLine(dumpfile::TExpFileRoot& root, dumpfile::TDumpRecogniser& recogniser)
      : root_(root), recogniser_(recogniser) {}
  bool onLine(const dumpfile::DumpLineCutter::Line& line, int64_t endOffset) override {
    root_.SetReadPosition(endOffset);
    std::string scratch;
    const std::string_view text = line.text(scratch);
    dumpfile::ProcessDumpLine(recogniser_, root_, text);
    if (dumpfile::IsClosingRecord(text)) {
      closingRun_ = closingRun_ + 1;
      closed_ = closingRun_ >= 2;
    } else {
      closingRun_ = 0;
      if (text.find_first_not_of(' ') != std::string_view::npos) closed_ = false;
    }
    return true;
  }
  bool onPlainLines(int64_t, int64_t, int64_t) override { std::abort(); }
  // Whether the lines end with two closing records in a row, lines of blanks after them aside.
  bool Closed() const { return closed_; }

 private:
  int closingRun_ = 0;
  bool closed_ = false;
  dumpfile::TExpFileRoot& root_;
  dumpfile::TDumpRecogniser& recogniser_;
};

using fuzz_test::ScratchFile;

void prepare(dumpfile::TExpFileRoot& root, const std::string& path, int mode) {
  root.SetDumpFileName(path);
  root.SetExportUser("SYSTEM");
  root.SetExportMode(mode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Mostly chunks of some hundred bytes; a few of one or two bytes.
  const int64_t chunk = data[0] < 8 ? 1 + data[0] % 2 : 1 + int64_t(data[0]) * 13;
  const int helpers = data[1] % 3;
  const int mode = 1 + data[1] / 3 % 3;
  data += 2;
  size -= 2;
  static const ScratchFile file("dump");
  const std::string& path = file.path;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }

  dumpfile::TExpFileRoot read;
  prepare(read, path, mode);
  {
    dumpfile::TParseDumpfile reader(read, nullptr, nullptr, chunk);
    reader.SetParallelism(helpers, 16);
    reader.Execute();
  }
  // A reading either ends whole and silent, or says that the dump ends early or holds nothing.
  check(read.Message().empty()
            ? !read.Incomplete()
            : read.Message() == dumpfile::kDumpEndsEarly || read.Message() == dumpfile::kNothingFound);

  dumpfile::TExpFileRoot plain;
  prepare(plain, path, mode);
  auto owner = std::make_unique<dumpfile::TExpFileUser>();
  owner->SetName(plain.ExportUser());
  plain.SetCurrentOwner(plain.AddUser(std::move(owner)));
  dumpfile::TDumpRecogniser recogniser(plain);
  recogniser.SetShortcut(false);
  dumpfile::DumpLineCutter cutter;
  EveryLine sink(plain, recogniser);
  cutter.feed(data, size, 0, sink);
  cutter.finish(int64_t(size), sink);

  // Whole are an empty file and a dump that ends with both of its closing records.
  check(read.Incomplete() == !(size == 0 || sink.Closed()));

  const auto lines = dumpbuilder::treeLines(read);
  check(lines == dumpbuilder::treeLines(plain));
  dumpfile::TExpFileNode* node = nullptr;
  auto inside = [&](const dumpfile::TExpFileNode& n) {
    check(n.StartOffset() == -1
              ? n.Length() == 0
              : n.StartOffset() >= 0 && n.Length() >= 0 && n.StartOffset() + n.Length() <= int64_t(size));
  };
  for (int i = 0; read.GetPublicObject(i, node); ++i) inside(*node);
  dumpfile::TExpFileUser* u = nullptr;
  for (int i = 0; read.GetUser(i, u); ++i) {
    inside(*u);
    for (int j = 0; u->GetNode(j, node); ++j) inside(*node);
  }
  return 0;
}
