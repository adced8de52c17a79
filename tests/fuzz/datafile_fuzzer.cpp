// Feeds arbitrary bytes to the data file as the contents of a ".DAT" file in memory. Opening,
// checking, reading every record, appending, freeing, reusing and writing back must end in an
// engine error or succeed; a table that passed the open check and came through the rest without
// an error must pass the check again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldordata.h"

namespace {

using namespace engine;

// The table of the fuzzed file: strict change detection, as no cursor takes part.
struct FuzzTable : TStandaloneTableOwner {
  FuzzTable() {
    tableName = "fuzz";
    tablePath = "memory";
    strictChangeDetection = true;
  }
};

void check(bool ok) {
  if (!ok) std::abort();
}

const char* kName = "FUZZ.DAT";

void exercise(TDataFile& f) {
  const uint32_t last = f.GetLastRecordNumber();
  for (uint32_t n = 1; n <= last && n <= 64; ++n) {
    TRecord* r = nullptr;
    check(f.GetRecord(nullptr, n, r, true, false, true));
    check(r->GetRecordNumber() == n);
    if (r->GetStatus() == kRecordInUse && n % 3 == 0) f.FreeRecord(r);
    f.ReleaseRecord(r);
  }
  for (int i = 0; i < 4; ++i) {
    TRecord* r = nullptr;
    check(f.AllocateRecord(nullptr, r));
    r->Initialize(true);
    r->SetDirty(true);
    f.ReleaseRecord(r);
  }
  f.FlushDirtyRecords();
  f.WriteHeader(false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFileList list;
  {
    TFileHandler raw(&list);
    raw.SetName(kName);
    raw.SetInMemory(true);
    raw.CreateFile();
    raw.Write(data, int64_t(size));
  }
  FuzzTable table;
  TDataFile f(&table, false, &list);
  f.SetName(kName);
  f.SetInMemory(true);
  bool verified = false;
  try {
    f.Open();
    f.VerifyHeader();
    verified = true;
  } catch (const EVELDOREngineError&) {
  }
  if (!f.IsOpen()) return 0;
  // Every failure is an engine error; a checked table whose records and chain held up stays
  // sound after appends, frees, reuse and write-back.
  try {
    exercise(f);
  } catch (const EVELDOREngineError&) {
    return 0;
  }
  if (verified) {
    f.Close();
    f.Open();
    f.VerifyHeader();
  }
  return 0;
}
