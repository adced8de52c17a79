// Fuzz target over the reader of a table's text-index parameters: each input replaces the data of
// the first three pages of a parameter chain (its first byte says after which one the chain is
// cut). The reader refuses them with an engine error, or what it reads writes back alike.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"

using namespace engine;

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Table {
  ~Table() { std::filesystem::remove_all(dir); }
  std::string dir;
  std::vector<uint8_t> index;   // the index file as made
  std::vector<uint32_t> chain;  // its first parameter pages in order
};

const Table& table() {
  static const Table made = [] {
    Table t;
    char pattern[] = "/tmp/velmaron-textparams-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    t.dir = pattern;
    TDataSession session;
    TDataCursor c(*session.OpenDataDirectory("db", t.dir));
    c.SetTableName("words");
    c.SetExclusive(true);
    TCreateTableArgs args;
    args.BlobBlockSize = 512;
    args.Fields.resize(1);
    args.Fields[0].SetFieldNumber(1);
    args.Fields[0].SetName("NAME");
    args.Fields[0].SetType(kFieldTypeString);
    args.Fields[0].SetSize(20);
    args.Indexes.resize(1);
    args.Indexes[0].fields[0] = 1;
    std::vector<std::string> words;
    for (int i = 0; i < 600; ++i)
      words.push_back("WORD" + std::to_string(i) + std::string(size_t(i % 9), 'X'));
    args.StopWords = &words;
    c.CreateTable(args);
    t.index = readFile(t.dir + "/words.IDX");
    const uint8_t* text = t.index.data() + kIndexDescriptorsOffset + kSysTextSlot * kIndexDescriptorSize;
    for (uint32_t p = platform::get4(text + 96); p != 0 && t.chain.size() < 3;
         p = platform::get4(t.index.data() + size_t(p) * kIndexPageSize + 7))
      t.chain.push_back(p);
    return t;
  }();
  return made;
}

struct Params {
  std::vector<std::string> words;
  TCharSet space, include;
  bool operator==(const Params&) const = default;
};

Params readParams(TDataDirectory& directory, bool exclusive) {
  TDataCursor c(directory);
  c.SetTableName("words");
  c.SetExclusive(exclusive);
  c.Open();
  Params p;
  for (size_t i = 0; i < c.GetStopWords().count(); ++i) p.words.push_back(c.GetStopWords()[i]);
  p.space = c.GetSpaceChars();
  p.include = c.GetIncludeChars();
  // Written back when the cursor closes.
  if (exclusive) c.SetTextIndexParams(&p.words, p.space, p.include);
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Table& t = table();
  if (size < 1) return 0;
  std::vector<uint8_t> index = t.index;
  size_t at = 1;
  for (size_t i = 0; i < t.chain.size(); ++i) {
    uint8_t* page = index.data() + size_t(t.chain[i]) * kIndexPageSize;
    std::memset(page + kPageHeaderSize, 0, kPageDataSize);
    const size_t n = std::min<size_t>(size - at, kPageDataSize);
    std::memcpy(page + kPageHeaderSize, data + at, n);
    at += n;
    if (i == data[0] % 3u) std::memset(page + 7, 0, 4);
  }
  std::ofstream(t.dir + "/words.IDX", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(index.data()), std::streamsize(index.size()));
  TDataSession session;
  TDataDirectory& directory = *session.OpenDataDirectory("db", t.dir);
  Params first;
  try {
    first = readParams(directory, true);
  } catch (const EVELDOREngineError&) {
    return 0;  // refused as damaged
  }
  if (!(readParams(directory, false) == first)) std::abort();
  return 0;
}
