#include "dumpfile/u_saveobjddl.h"

#include <exception>
#include <filesystem>
#include <set>
#include <vector>

#include "platform/textfile.h"

namespace dumpfile {

namespace {
// The longest file name most file systems take.
constexpr size_t kMaxFileName = 255;
}  // namespace

std::string SafeFileNamePart(std::string_view name, size_t maxBytes) {
  std::string out;
  out.reserve(name.size());
  bool leading = true;
  for (char c : name) {
    const auto b = uint8_t(c);
    const bool unsafe = b < 0x20 || b == 0x7F || c == '/' || c == '\\' || (leading && c == '.');
    out += unsafe ? '_' : c;
    leading = leading && c == '.';
  }
  if (out.size() > maxBytes) {
    size_t cut = maxBytes;
    while (cut > 0 && (uint8_t(out[cut]) & 0xC0) == 0x80) --cut;  // not inside a UTF-8 sequence
    out.resize(cut);
  }
  return out;
}

std::string DefinitionFileName(const std::string& outputDir, uint8_t kind) {
  return (std::filesystem::path(outputDir) / (std::string(KindName[kind]) + ".sql")).string();
}

std::string DefinitionFileName(const std::string& outputDir, std::string_view owner, uint8_t kind) {
  const std::string suffix = "_" + std::string(KindName[kind]) + ".sql";
  return (std::filesystem::path(outputDir) / (SafeFileNamePart(owner, kMaxFileName - suffix.size()) + suffix))
      .string();
}

TSaveObjDDl::TSaveObjDDl(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone)
    : DumpWorker(root, progress, std::move(onDone)) {}

TSaveObjDDl::~TSaveObjDDl() {
  StopAndJoin();
}

void TSaveObjDDl::Run() {
  TExpFileRoot& root = Root();
  const std::string source = root.DumpFileName();
  const std::string& dir = root.OutputDir();
  auto chosen = [](const std::array<bool, kKindCount>& flags, uint8_t kind) {
    return kind < kKindCount && flags[kind];
  };

  // The chosen items in tree order, each with its file.
  struct Item {
    const TExpFileNode* node;
    std::string file;
  };
  std::vector<Item> items;
  TExpFileNode* node = nullptr;
  for (int i = 0; root.GetPublicObject(i, node); ++i)
    if (chosen(root.KindSelected, node->Kind()))
      items.push_back({node, DefinitionFileName(dir, node->Kind())});
  TExpFileUser* owner = nullptr;
  for (int i = 0; root.GetUser(i, owner); ++i) {
    if (root.KindSelected[kKindUsers]) items.push_back({owner, DefinitionFileName(dir, kKindUsers)});
    for (int j = 0; owner->GetNode(j, node); ++j)
      if (chosen(owner->KindSelected, node->Kind()))
        items.push_back({node, DefinitionFileName(dir, owner->Name(), node->Kind())});
  }

  try {
    std::unique_ptr<platform::RandomReader> input;
    for (const Item& item : items) {
      if (item.node->StartOffset() < 0 || item.node->Length() <= 0) continue;
      int error = 0;
      input = OpenInput(source, error);
      if (!input) {
        root.SetMessage(OpenFileErrorMessage(source));
        return;
      }
      break;
    }

    // First pass: what this run writes starts empty.
    std::set<std::string> removed;
    for (const Item& item : items) {
      if (!removed.insert(item.file).second) continue;
      int error = 0;
      if (!platform::removeFile(item.file, error)) {
        root.SetMessage("Delete " + item.file + " error!");
        return;
      }
    }

    BeginProgress(int64_t(items.size()));
    std::string bytes;
    for (const Item& item : items) {
      if (Terminated()) return;
      const TExpFileNode& n = *item.node;
      if (n.StartOffset() >= 0 && n.Length() > 0) {
        int error = 0;
        if (!ReadDumpBytes(*input, n.StartOffset(), n.Length(), bytes, error)) {
          root.SetMessage("Read " + n.Name() + " from " + source + " error!" +
                          (error != 0 ? " (" + platform::errorText(error) + ")" : ""));
          return;
        }
        platform::AppendLineToFile(platform::NormalizeLineBreaks(bytes), item.file);
      }
      CountProgress(1);
    }
    root.SetMessage(std::string(kSaveObjDdlDone));
  } catch (const std::exception&) {
    root.SetMessage(std::string(kSaveObjDdlError));
  }
}

}  // namespace dumpfile
