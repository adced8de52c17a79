// The dump-file reader over three shapes of dump (mostly binary row data, text-heavy PL/SQL and
// views, dense short statements), in MB/s with the processor time of a reading (all its threads);
// and, side by side in one run on the same 1 GB dump and on a real dump repeated to 590 MB, the
// reader against `wc -l`, one pass over the bytes and the practical limit of any reader. Also the
// definition writer (Export DDL of every kind) over the real dumps of the test data, many small
// files, and over a dump of dense short statements, few files of many definitions each.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "dumpfile/u_parsedumpfile.h"
#include "dumpfile/u_saveobjddl.h"
#include "tools/dumpbuilder/dumpbuilder.h"
#include "tools/dumpbuilder/treelines.h"

namespace {

namespace fs = std::filesystem;

fs::path benchDir() {
  const char* dir = std::getenv("VELMARON_BENCH_DIR");
  fs::path p = dir != nullptr ? fs::path(dir) : fs::temp_directory_path() / "velmaron-bench";
  fs::create_directories(p);
  return p;
}

int64_t shapeSize() {
  const char* mb = std::getenv("VELMARON_BENCH_MB");
  return (mb != nullptr ? std::atoll(mb) : 256) << 20;
}

// The dump of `shape` with at least `size` bytes, built once and kept for later runs.
std::string dumpFile(dumpbuilder::Shape shape, int64_t size, const std::string& tag) {
  const fs::path path = benchDir() / (tag + "-" + std::to_string(size >> 20) + "M.dmp");
  const fs::path done = fs::path(path.string() + ".complete");
  if (fs::exists(done) && fs::exists(path)) return path.string();
  dumpbuilder::Options o;
  o.shape = shape;
  o.targetSize = size;
  o.seed = 2024;
  dumpbuilder::buildDump(path.string(), o);
  std::ofstream(done) << "built\n";
  return path.string();
}

// One reading on the reader's own thread, as the main window starts it; returns the bytes read.
int64_t readOnce(const std::string& path, int helpers) {
  dumpbuilder::HeaderFacts facts;
  dumpbuilder::readHeaderFacts(path, facts);
  dumpfile::TExpFileRoot root;
  dumpbuilder::prepareRoot(root, path, facts);
  {
    dumpfile::TParseDumpfile reader(root, nullptr, nullptr);
    if (helpers >= 0) reader.SetParallelism(helpers);
    reader.Start();
    reader.WaitFor();
  }
  // A dump the builder left without its closing records reads whole all the same.
  if (!root.Message().empty() && root.Message() != dumpfile::kDumpEndsEarly)
    throw std::runtime_error(root.Message());
  return root.ProcessedBytes();
}

// Processor time of the whole process so far, every thread's, user and system.
double processSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void readShape(benchmark::State& state, dumpbuilder::Shape shape, const char* tag, int helpers) {
  const std::string path = dumpFile(shape, shapeSize(), tag);
  readOnce(path, helpers);  // into the page cache
  int64_t bytes = 0;
  const double cpu = processSeconds();
  for (auto _ : state) bytes += readOnce(path, helpers);
  state.SetBytesProcessed(bytes);
  state.counters["cpu_s"] = (processSeconds() - cpu) / double(state.iterations());
}

void BM_Read_MostlyBinary(benchmark::State& s) {
  readShape(s, dumpbuilder::Shape::Binary, "binary", -1);
}
void BM_Read_TextHeavy(benchmark::State& s) {
  readShape(s, dumpbuilder::Shape::Text, "text", -1);
}
void BM_Read_StatementDense(benchmark::State& s) {
  readShape(s, dumpbuilder::Shape::Statements, "statements", -1);
}
void BM_Read_MostlyBinary_OneThread(benchmark::State& s) {
  readShape(s, dumpbuilder::Shape::Binary, "binary", 0);
}
void BM_Read_TextHeavy_OneThread(benchmark::State& s) {
  readShape(s, dumpbuilder::Shape::Text, "text", 0);
}
void BM_Read_StatementDense_OneThread(benchmark::State& s) {
  readShape(s, dumpbuilder::Shape::Statements, "statements", 0);
}

// The reader and `wc -l` on the same dump, each iteration timing both; the iteration time is the
// reader's, the counters give both times, their ratio and the reader's processor time.
void readerVersusWc(benchmark::State& state, const std::string& path) {
  const std::string wc = "wc -l '" + path + "' > /dev/null";
  if (std::system(wc.c_str()) != 0) throw std::runtime_error("wc failed");  // into the page cache
  readOnce(path, -1);
  double readerTotal = 0, wcTotal = 0, cpuTotal = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    const double cpu = processSeconds();
    bytes += readOnce(path, -1);
    cpuTotal += processSeconds() - cpu;
    const double r = seconds(t0);
    t0 = std::chrono::steady_clock::now();
    if (std::system(wc.c_str()) != 0) throw std::runtime_error("wc failed");
    const double w = seconds(t0);
    readerTotal += r;
    wcTotal += w;
    state.SetIterationTime(r);
  }
  state.SetBytesProcessed(bytes);
  const double n = double(state.iterations());
  state.counters["reader_s"] = readerTotal / n;
  state.counters["wc_s"] = wcTotal / n;
  state.counters["reader_per_wc"] = readerTotal / wcTotal;
  state.counters["cpu_s"] = cpuTotal / n;
}

void BM_ReaderVersusWc_1GB(benchmark::State& state) {
  readerVersusWc(state, dumpFile(dumpbuilder::Shape::Binary, int64_t(1) << 30, "binary"));
}

// A real dump of the test data, mostly row data and its statements, repeated 1172 times (590 MB).
void BM_ReaderVersusWc_RealDump590MB(benchmark::State& state) {
  const fs::path path = benchDir() / "real-590M.dmp";
  const fs::path done = fs::path(path.string() + ".complete");
  if (!fs::exists(done) || !fs::exists(path)) {
    std::ifstream in(VELMARON_DUMPS_DIR "/TejashriRade__E-Commerce-Database-Project__EXPDAT.dmp",
                     std::ios::binary);
    const std::string one((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (one.empty()) throw std::runtime_error("the real dump cannot be read");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 1172; ++i) out.write(one.data(), std::streamsize(one.size()));
    out.close();
    std::ofstream(done) << "built\n";
  }
  readerVersusWc(state, path.string());
}

// The tree of one reading, every kind chosen, ready for the definition writer.
std::unique_ptr<dumpfile::TExpFileRoot> readTree(const std::string& path) {
  dumpbuilder::HeaderFacts facts;
  dumpbuilder::readHeaderFacts(path, facts);
  auto root = std::make_unique<dumpfile::TExpFileRoot>();
  dumpbuilder::prepareRoot(*root, path, facts);
  dumpfile::TParseDumpfile(*root, nullptr, nullptr).Execute();
  dumpfile::SelectAllKinds(*root);
  return root;
}

// Writes the definition files of each tree into a folder of its own on the disk, over the files of
// the iteration before, as a second Export DDL does.
void writeDefinitions(benchmark::State& state,
                      const std::vector<std::unique_ptr<dumpfile::TExpFileRoot>>& roots) {
  const fs::path out = benchDir() / "ddl";
  int64_t files = 0;
  for (size_t i = 0; i < roots.size(); ++i) {
    fs::create_directories(out / std::to_string(i));
    roots[i]->SetOutputDir((out / std::to_string(i)).string());
    files += int64_t(dumpfile::DefinitionFiles(*roots[i]).size());
  }
  for (auto _ : state)
    for (const auto& root : roots) {
      root->SetMessage("");
      dumpfile::TSaveObjDDl(*root, nullptr, nullptr).Execute();
      if (root->Message() != dumpfile::kSaveObjDdlDone) throw std::runtime_error(root->Message());
    }
  state.counters["files"] = double(files);
  fs::remove_all(out);
}

void BM_DefinitionFiles_RealDumps(benchmark::State& state) {
  std::vector<std::unique_ptr<dumpfile::TExpFileRoot>> roots;
  for (const auto& entry : fs::directory_iterator(VELMARON_DUMPS_DIR))
    if (entry.path().extension() == ".dmp") roots.push_back(readTree(entry.path().string()));
  writeDefinitions(state, roots);
}

void BM_DefinitionFiles_StatementDense32MB(benchmark::State& state) {
  std::vector<std::unique_ptr<dumpfile::TExpFileRoot>> roots;
  roots.push_back(readTree(dumpFile(dumpbuilder::Shape::Statements, int64_t(32) << 20, "statements")));
  writeDefinitions(state, roots);
}

// Export DDL of a full export of many small schemas: 2000 owners of a table, a view and a
// sequence each, 6000 files of one definition each in one folder.
void BM_DefinitionFiles_ManyOwners(benchmark::State& state) {
  const fs::path path = benchDir() / "many-owners.dmp";
  std::string dump = "EXPORT:V10.02.01\n";
  auto root = std::make_unique<dumpfile::TExpFileRoot>();
  root->SetDumpFileName(path.string());
  for (int i = 0; i < 2000; ++i) {
    auto owner = std::make_unique<dumpfile::TExpFileUser>();
    owner->SetName("OWNER" + std::to_string(i));
    dumpfile::TExpFileUser* o = root->AddUser(std::move(owner));
    for (const auto& [kind, text] :
         {std::pair<uint8_t, std::string>{dumpfile::kKindTables, "CREATE TABLE \"T\" (\"A\" NUMBER)\n"},
          {dumpfile::kKindViews, "CREATE VIEW \"V\" AS SELECT 1 FROM DUAL\n"},
          {dumpfile::kKindSequences, "CREATE SEQUENCE \"S\"\n"}}) {
      auto node = std::make_unique<dumpfile::TExpFileNode>();
      node->SetName("X");
      node->SetKind(kind);
      node->SetStartOffset(int64_t(dump.size()));
      node->SetLength(int64_t(text.size()));
      dump += text;
      o->AddNode(std::move(node));
    }
  }
  std::ofstream(path, std::ios::binary) << dump;
  dumpfile::SelectAllKinds(*root);
  std::vector<std::unique_ptr<dumpfile::TExpFileRoot>> roots;
  roots.push_back(std::move(root));
  writeDefinitions(state, roots);
  fs::remove(path);
}

BENCHMARK(BM_Read_MostlyBinary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read_TextHeavy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read_StatementDense)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read_MostlyBinary_OneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read_TextHeavy_OneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read_StatementDense_OneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReaderVersusWc_1GB)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_ReaderVersusWc_RealDump590MB)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_DefinitionFiles_RealDumps)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DefinitionFiles_StatementDense32MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DefinitionFiles_ManyOwners)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
