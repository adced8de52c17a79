#include "dumpfile/u_analysisfile.h"

#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "platform/bytes.h"
#include "platform/localclock.h"

namespace dumpfile {

namespace {

// Header fields: offset and size.
constexpr int64_t kVersionAt = 0, kMarkerAt = 10, kMarkerSize = 10;
constexpr int64_t kCharsetAt = 20, kCharsetSize = 120;
constexpr int64_t kUserAt = 140, kUserSize = 20;
constexpr int64_t kModeAt = 160, kModeSize = 10;
constexpr int64_t kDateAt = 170, kDateSize = 20;
constexpr int64_t kIndexSizeAt = 190, kIndexSizeSize = 10;
constexpr int64_t kExportVersionAt = 200, kExportVersionSize = 20;
constexpr std::string_view kFormatVersion = "1.2.0";

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

bool hasMarker(const uint8_t* header) {
  for (int i = 0; i < kMarkerSize; ++i)
    if (header[kMarkerAt + i] != i) return false;
  return true;
}

// The index size text: 1 to 10 decimal digits; 0 for anything else.
int64_t parseIndexSize(const std::string& text) {
  if (text.empty() || text.size() > size_t(kIndexSizeSize)) return 0;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::string codeMessage(int code, const std::string& detail = {}) {
  std::string m = "Read file Error: (Code:00" + std::to_string(code) + ")";
  if (!detail.empty()) m += " " + detail;
  return m;
}

}  // namespace

void AdfEntry::encode(uint8_t* out) const {
  std::memcpy(out, name.data(), size_t(kAdfNameSize));
  platform::put4(out + 128, uint32_t(dataOffset));
  platform::put4(out + 132, uint32_t(length));
  platform::put4(out + 136, uint32_t(dumpOffset));
  out[140] = kind;
}

AdfEntry AdfEntry::decode(const uint8_t* in) {
  AdfEntry e;
  std::memcpy(e.name.data(), in, size_t(kAdfNameSize));
  e.dataOffset = platform::get4s(in + 128);
  e.length = platform::get4s(in + 132);
  e.dumpOffset = platform::get4s(in + 136);
  e.kind = in[140];
  return e;
}

bool IsAnalysisFile(const std::string& fileName) {
  platform::InputFile file;
  if (!file.open(fileName)) return false;
  const int64_t size = file.size();
  if (size < kMarkerAt + kMarkerSize) return false;
  uint8_t header[kAdfHeaderSize] = {};
  if (file.readAt(0, header, size_t(kMarkerAt + kMarkerSize)) != kMarkerAt + kMarkerSize) return false;
  return hasMarker(header);
}

void FillNodeFromEntry(const AdfEntry& entry, TExpFileNode& node) {
  node.SetName(platform::getFixedText(entry.name.data(), size_t(kAdfNameSize)));
  node.SetStartOffset(entry.dataOffset);
  node.SetLength(entry.length);
  node.SetKind(entry.kind);
}

// --- TSavedfp

TSavedfp::TSavedfp(std::string fileName, TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone)
    : DumpWorker(root, progress, std::move(onDone)), fileName_(std::move(fileName)) {}

TSavedfp::~TSavedfp() {
  StopAndJoin();
}

void TSavedfp::Run() {
  TExpFileRoot& root = Root();
  const std::string source = root.DumpFileName();
  if (!platform::fileExists(source)) {
    root.SetMessage(source + " not exists!");
    return;
  }

  // The entries in file order, with the nodes whose bytes they hold.
  struct Item {
    const TExpFileNode* node;
    AdfEntry entry;
  };
  std::vector<Item> items;
  ForEachNode(root, [&](const TExpFileNode& node, const TExpFileUser*) { items.push_back({&node, {}}); });

  // Every offset and length must fit its 32-bit field before anything is written.
  const std::string tooLarge =
      "Save " + fileName_ + " error: offsets beyond 2 GB do not fit an analysis file!";
  const int64_t indexSize = int64_t(items.size()) * kAdfEntrySize;
  int64_t running = kAdfHeaderSize + indexSize;
  if (running > kInt32Max) {
    root.SetMessage(tooLarge);
    return;
  }
  for (Item& item : items) {
    const TExpFileNode& n = *item.node;
    const int64_t length = std::max<int64_t>(n.Length(), 0);
    if (length > 0 && n.StartOffset() < 0) {
      root.SetMessage("Read " + std::string(n.Name()) + " from " + source + " error!");
      return;
    }
    if (n.StartOffset() > kInt32Max || length > kInt32Max - running) {
      root.SetMessage(tooLarge);
      return;
    }
    platform::putFixedText(item.entry.name.data(), size_t(kAdfNameSize), n.Name());
    item.entry.dataOffset = int32_t(running);
    item.entry.length = int32_t(length);
    item.entry.dumpOffset = int32_t(std::max<int64_t>(n.StartOffset(), -1));
    item.entry.kind = n.Kind();
    running += length;
  }

  std::unique_ptr<platform::RandomReader> input = OpenRootFile();
  if (!input) return;
  platform::ReplacingFile out;
  if (!out.begin(fileName_)) {
    root.SetMessage("Create " + fileName_ + " error!");
    return;
  }
  const std::string writeError = "Write to " + fileName_ + " error!";
  try {
    std::vector<uint8_t> head(size_t(kAdfHeaderSize + indexSize), 0);
    uint8_t* h = head.data();
    platform::putFixedText(h + kVersionAt, kFormatVersion.size(), kFormatVersion);
    for (int i = 0; i < kMarkerSize; ++i) h[kMarkerAt + i] = uint8_t(i);
    platform::putFixedText(h + kCharsetAt, kCharsetSize, root.NlsLang());
    platform::putFixedText(h + kUserAt, kUserSize, root.ExportUser());
    platform::putFixedText(h + kModeAt, kModeSize, root.ExportModeText());
    platform::putFixedText(h + kDateAt, kDateSize, saveTime_.empty() ? platform::localNowText() : saveTime_);
    platform::putFixedText(h + kIndexSizeAt, kIndexSizeSize, std::to_string(indexSize));
    platform::putFixedText(h + kExportVersionAt, kExportVersionSize, root.ExportVersion());
    for (size_t i = 0; i < items.size(); ++i)
      items[i].entry.encode(h + kAdfHeaderSize + int64_t(i) * kAdfEntrySize);
    if (!out.write(head.data(), head.size())) {
      root.SetMessage(writeError);
      return;
    }

    BeginProgress(int64_t(items.size()));
    std::string bytes;
    for (const Item& item : items) {
      if (Terminated()) return;  // the temporary file goes; the target stays as it was
      if (item.entry.length > 0) {
        if (!ReadNodeBytes(*input, *item.node, bytes)) return;
        if (!out.write(bytes)) {
          root.SetMessage(writeError);
          return;
        }
      }
      CountProgress(1);
    }
    if (!out.commit()) root.SetMessage(writeError);
  } catch (const std::exception& e) {
    root.SetMessage(WithCause(writeError, e));
  }
}

// --- TReaddfp

TReaddfp::TReaddfp(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone)
    : DumpWorker(root, progress, std::move(onDone)) {}

TReaddfp::~TReaddfp() {
  StopAndJoin();
}

void TReaddfp::Run() {
  TExpFileRoot& root = Root();
  const std::string name = root.DumpFileName();
  if (!platform::fileExists(name)) {
    root.SetMessage("File: " + name);
    return;
  }
  int error = 0;
  std::unique_ptr<platform::RandomReader> file = OpenInput(name, error);
  const int64_t size = file ? file->size() : -1;
  if (size < 0) {
    root.SetMessage("open file " + name);
    return;
  }
  try {
    // A file shorter than its header reads as if the rest were zero bytes.
    uint8_t header[kAdfHeaderSize] = {};
    const int64_t got = file->readAt(0, header, size_t(kAdfHeaderSize));
    if (got < 0) {
      root.SetMessage("Error while reading file!");
      return;
    }
    if (got < kMarkerAt + kMarkerSize || !hasMarker(header)) {
      root.SetMessage(name + " is not a valid file");
      return;
    }
    const int64_t indexSize = parseIndexSize(platform::getFixedText(header + kIndexSizeAt, kIndexSizeSize));
    if (indexSize == 0) {
      root.SetMessage(codeMessage(1));
      return;
    }
    if (indexSize % kAdfEntrySize != 0) {
      root.SetMessage(codeMessage(2));
      return;
    }
    const int64_t dataStart = kAdfHeaderSize + indexSize;
    if (dataStart > size) {
      root.SetMessage(codeMessage(3, "the index runs past the end of the file"));
      return;
    }

    // Read and check every entry before the tree takes any of them.
    const int64_t count = indexSize / kAdfEntrySize;
    BeginProgress(count);
    std::vector<AdfEntry> entries;
    entries.reserve(size_t(std::min<int64_t>(count, 1 << 20)));
    constexpr int64_t kEntriesPerRead = 8192;
    std::vector<uint8_t> block(size_t(kEntriesPerRead * kAdfEntrySize));
    for (int64_t first = 0; first < count; first += kEntriesPerRead) {
      if (Terminated()) return;
      const int64_t n = std::min(kEntriesPerRead, count - first);
      const int64_t want = n * kAdfEntrySize;
      if (file->readAt(kAdfHeaderSize + first * kAdfEntrySize, block.data(), size_t(want)) != want) {
        root.SetMessage("Error while reading file!");
        return;
      }
      for (int64_t i = 0; i < n; ++i) {
        const AdfEntry e = AdfEntry::decode(block.data() + i * kAdfEntrySize);
        const std::string which = "entry " + std::to_string(first + i + 1);
        if (e.kind >= kKindCount) {
          root.SetMessage(codeMessage(4, which + " has an unknown kind"));
          return;
        }
        const bool inside = e.length >= 0 && e.dataOffset >= 0 && int64_t(e.dataOffset) + e.length <= size &&
                            (e.length == 0 || e.dataOffset >= dataStart);
        if (!inside) {
          root.SetMessage(codeMessage(5, "the data of " + which + " lies outside the file"));
          return;
        }
        entries.push_back(e);
      }
    }

    root.SetNlsLang(platform::getFixedText(header + kCharsetAt, kCharsetSize));
    root.SetExportUser(platform::getFixedText(header + kUserAt, kUserSize));
    root.SetExportModeText(platform::getFixedText(header + kModeAt, kModeSize));
    root.SetExportVersion(platform::getFixedText(header + kExportVersionAt, kExportVersionSize));
    root.SetCurrentOwner(nullptr);
    root.SetOpenNode(nullptr);
    root.SetUserMode(false);
    // Until the last entry is in, the tree is only part of the file.
    root.SetIncomplete(true);
    for (const AdfEntry& e : entries) {
      if (Terminated()) {
        root.SetMessage(std::string(kTerminatedByUser) + " " + std::string(kReadingIncomplete));
        return;
      }
      if (e.kind == kKindUsers) {
        auto owner = std::make_unique<TExpFileUser>();
        FillNodeFromEntry(e, *owner);
        root.SetUserMode(true);
        root.SetCurrentOwner(root.AddUser(std::move(owner)));
      } else {
        const std::string name = platform::getFixedText(e.name.data(), size_t(kAdfNameSize));
        TExpFileNode* node = root.CurrentOwner() == nullptr ? root.AddPublicObject(name, e.kind)
                                                            : root.CurrentOwner()->AddNode(name, e.kind);
        node->SetStartOffset(e.dataOffset);
        node->SetLength(e.length);
      }
      CountProgress(1);
    }
    root.SetIncomplete(false);
  } catch (const std::exception& e) {
    root.SetMessage(WithCause("Error while reading file!", e));
  }
}

}  // namespace dumpfile
