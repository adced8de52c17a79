// Fuzz target over the reader of a table's text-index parameters. A table whose parameters fill
// a chain of three pages is made once; each input replaces the data of those pages (the first
// byte says whether the chain is cut after one or two pages) and the parameters are read through
// a cursor. The reader must refuse the pages with an engine error or read words and sets that,
// written back, read back the same.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/storage/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

using namespace engine;

namespace {

struct Table {
  std::string dir;
  std::vector<uint8_t> index;   // the index file as made
  std::vector<uint32_t> chain;  // its parameter pages in order
};

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t get4(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

const Table& table() {
  static const Table made = [] {
    Table t;
    char pattern[] = "/tmp/velmaron-textparams-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    t.dir = pattern;
    TDataSession session;
    TDataDirectory* directory = session.OpenDataDirectory("db", t.dir);
    {
      TDataCursor c(*directory);
      c.SetTableName("words");
      c.SetExclusive(true);
      TCreateTableArgs args;
      args.BlobBlockSize = 512;
      TFieldDescriptor name;
      name.SetFieldNumber(1);
      name.SetName("NAME");
      name.SetType(kFieldTypeString);
      name.SetSize(20);
      args.Fields = {name};
      args.Indexes.resize(1);
      args.Indexes[0].fields[0] = 1;
      std::vector<std::string> words;
      for (int i = 0; i < 600; ++i)
        words.push_back("WORD" + std::to_string(i) + std::string(size_t(i % 9), 'X'));
      args.StopWords = &words;
      c.CreateTable(args);
    }
    session.CloseDataDirectory(directory);
    t.index = readAll(t.dir + "/words.IDX");
    for (uint32_t p =
             get4(t.index.data() + kIndexDescriptorsOffset + kSysTextSlot * kIndexDescriptorSize + 96);
         p != 0 && t.chain.size() < 3; p = get4(t.index.data() + size_t(p) * kIndexPageSize + 7))
      t.chain.push_back(p);
    return t;
  }();
  return made;
}

std::vector<std::string> words(const TLanguageStringList& list) {
  std::vector<std::string> out;
  for (size_t i = 0; i < list.count(); ++i) out.push_back(list[i]);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Table& t = table();
  if (size < 1 || t.chain.empty()) return 0;
  std::vector<uint8_t> index = t.index;
  const size_t cut = 1 + data[0] % 3;
  size_t at = 1;
  for (size_t i = 0; i < t.chain.size(); ++i) {
    uint8_t* page = index.data() + size_t(t.chain[i]) * kIndexPageSize;
    std::memset(page + kPageHeaderSize, 0, kPageDataSize);
    const size_t n = std::min<size_t>(size - at, kPageDataSize);
    std::memcpy(page + kPageHeaderSize, data + at, n);
    at += n;
    if (i + 1 == cut) std::memset(page + 7, 0, 4);
  }
  std::ofstream(t.dir + "/words.IDX", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(index.data()), std::streamsize(index.size()));

  TDataSession session;
  TDataDirectory* directory = session.OpenDataDirectory("db", t.dir);
  std::vector<std::string> first;
  TCharSet space, include;
  bool read = true;
  {
    TDataCursor c(*directory);
    c.SetTableName("words");
    c.SetExclusive(true);
    c.Open();
    try {
      first = words(c.GetStopWords());
      space = c.GetSpaceChars();
      include = c.GetIncludeChars();
    } catch (const EVELDOREngineError&) {
      read = false;
    }
    if (read) c.SetTextIndexParams(&first, space, include);
  }
  if (read) {
    TDataCursor c(*directory);
    c.SetTableName("words");
    c.Open();
    if (words(c.GetStopWords()) != first || c.GetSpaceChars() != space || c.GetIncludeChars() != include)
      std::abort();
  }
  session.CloseDataDirectory(directory);
  return 0;
}
