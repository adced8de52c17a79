// dumpfile_tree_memory FILE: reads a dump as the main window does and prints the heap bytes the
// object tree holds afterwards, in all and per object. Run by hand on a Release build.
#include <malloc.h>

#include <cstdio>
#include <string>

#include "dumpfile/u_parsedumpfile.h"
#include "tools/dumpbuilder/treelines.h"

namespace {

size_t heapInUse() {
  malloc_trim(0);
  return mallinfo2().uordblks;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dumpfile_tree_memory FILE\n");
    return 2;
  }
  const std::string path = argv[1];
  dumpbuilder::HeaderFacts facts;
  if (!dumpbuilder::readHeaderFacts(path, facts)) {
    std::fprintf(stderr, "dumpfile_tree_memory: cannot read %s\n", path.c_str());
    return 1;
  }
  auto root = std::make_unique<dumpfile::TExpFileRoot>();
  dumpbuilder::prepareRoot(*root, path, facts);
  const size_t before = heapInUse();
  {
    dumpfile::TParseDumpfile reader(*root, nullptr, nullptr);
    reader.Start();
    reader.WaitFor();
  }
  const size_t after = heapInUse();
  size_t objects = 0;
  dumpfile::ForEachNode(*root,
                        [&](const dumpfile::TExpFileNode&, const dumpfile::TExpFileUser*) { ++objects; });
  const double bytes = double(after - before);
  std::printf("%zu objects, %.1f MB of heap, %.1f bytes an object\n", objects, bytes / 1e6,
              objects != 0 ? bytes / double(objects) : 0.0);
  return 0;
}
