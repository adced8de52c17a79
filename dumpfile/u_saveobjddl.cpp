#include "dumpfile/u_saveobjddl.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dumpfile/ddltext.h"
#include "platform/plainfile.h"
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

namespace {

// The base name of the file of `owner`'s definitions of `kind`; a `number` above 0 follows the
// name as "_" + number.
std::string ownerFileBase(std::string_view owner, int number, uint8_t kind) {
  const std::string mark = number > 0 ? "_" + std::to_string(number) : std::string();
  const std::string suffix = "_" + std::string(KindName[kind]) + ".sql";
  return SafeFileNamePart(owner, kMaxFileName - mark.size() - suffix.size()) + mark + suffix;
}

// A file name as a file system that ignores case sees it: two names that give one key may be one
// file in the folder the user chose.
std::string foldedName(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return name;
}

// The numbers that keep owners of different names out of each other's files (no entry: the
// owner's name serves). Owners whose names stand unchanged in their files come first, so that a
// name that had to be changed is the one that gets a number; then tree order. A number is the
// first from 2 whose files no other owner has or would have, for every kind, whatever is chosen,
// so that a tree's file names do not change from run to run.
std::unordered_map<const TExpFileUser*, int> ownerNumbers(const TExpFileRoot& root) {
  std::vector<const TExpFileUser*> owners;
  TExpFileUser* owner = nullptr;
  for (int i = 0; root.GetUser(i, owner); ++i) owners.push_back(owner);
  std::stable_partition(owners.begin(), owners.end(), [](const TExpFileUser* o) {
    for (uint8_t kind = 0; kind < kKindCount; ++kind)
      if (!ownerFileBase(o->Name(), 0, kind).starts_with(std::string(o->Name()) + "_")) return false;
    return true;
  });
  std::unordered_set<std::string> ownNames;
  for (const TExpFileUser* o : owners)
    for (uint8_t kind = 0; kind < kKindCount; ++kind)
      ownNames.insert(foldedName(ownerFileBase(o->Name(), 0, kind)));

  std::unordered_map<std::string, std::string_view> takenBy;  // folded file base name -> owner name
  std::unordered_map<std::string_view, int> byName;
  // Names that agree in the bytes the file names keep try the same numbers: where the last one
  // of them stopped, the next one goes on (many such names cost no more than a few).
  std::unordered_map<std::string, int> nextTry;
  std::unordered_map<const TExpFileUser*, int> numbers;
  for (const TExpFileUser* o : owners) {
    const std::string_view name = o->Name();
    if (const auto same = byName.find(name); same != byName.end()) {
      if (same->second > 0) numbers[o] = same->second;
      continue;
    }
    auto free = [&](int number) {
      for (uint8_t kind = 0; kind < kKindCount; ++kind) {
        const std::string base = foldedName(ownerFileBase(name, number, kind));
        const auto taken = takenBy.find(base);
        if (taken != takenBy.end() ? taken->second != name : number > 0 && ownNames.contains(base))
          return false;
      }
      return true;
    };
    int& next = nextTry[foldedName(SafeFileNamePart(name, std::string::npos).substr(0, kMaxFileName))];
    int number = 0;
    if (!free(0))
      for (number = std::max(next, 2); !free(number);) ++number;
    if (number > 0) next = number + 1;
    for (uint8_t kind = 0; kind < kKindCount; ++kind)
      takenBy.emplace(foldedName(ownerFileBase(name, number, kind)), name);
    byName[name] = number;
    if (number > 0) numbers[o] = number;
  }
  return numbers;
}

}  // namespace

std::string DefinitionFileName(const std::string& outputDir, std::string_view owner, uint8_t kind) {
  return (std::filesystem::path(outputDir) / ownerFileBase(owner, 0, kind)).string();
}

std::string ObjectDefinitionFileName(const std::string& outputDir, const TExpFileUser* owner,
                                     const TExpFileNode& node) {
  const std::string name = SafeFileNamePart(node.Name(), kMaxFileName / 2 - 4);
  const std::string prefix = owner != nullptr
                                 ? SafeFileNamePart(owner->Name(), kMaxFileName - name.size() - 5) + "_"
                                 : std::string();
  return (std::filesystem::path(outputDir) / (prefix + name + ".sql")).string();
}

namespace {

// The chosen items in tree order, each with its file.
struct Item {
  const TExpFileNode* node;
  std::string file;
};

std::vector<Item> chosenItems(const TExpFileRoot& root, const TExpFileNode* onlyNode) {
  const std::string& dir = root.OutputDir();
  auto chosen = [onlyNode](const std::array<bool, kKindCount>& flags, const TExpFileNode& node) {
    if (onlyNode != nullptr) return &node == onlyNode;
    return node.Kind() < kKindCount && flags[node.Kind()];
  };
  const std::unordered_map<const TExpFileUser*, int> numbers = ownerNumbers(root);
  auto ownerFile = [&](const TExpFileUser& owner, uint8_t kind) {
    const auto number = numbers.find(&owner);
    return (std::filesystem::path(dir) /
            ownerFileBase(owner.Name(), number != numbers.end() ? number->second : 0, kind))
        .string();
  };
  // A single object's file whose name is that of a file of a kind (an object named "Tables" of
  // the owner "SCOTT" gives "SCOTT_Tables.sql") takes "_" + the first number from 2 that is free:
  // the file of the kind holds the object's neighbours.
  auto objectFile = [&](const TExpFileUser* owner, const TExpFileNode& node) {
    std::unordered_set<std::string> kindFiles;
    for (uint8_t kind = 0; kind < kKindCount; ++kind) {
      kindFiles.insert(foldedName(std::string(KindName[kind]) + ".sql"));
      TExpFileUser* o = nullptr;
      for (int i = 0; root.GetUser(i, o); ++i)
        kindFiles.insert(foldedName(std::filesystem::path(ownerFile(*o, kind)).filename().string()));
    }
    std::string file = std::filesystem::path(ObjectDefinitionFileName(dir, owner, node)).filename().string();
    const std::string stem = file.substr(0, file.size() - 4);
    for (int number = 2; kindFiles.contains(foldedName(file)); ++number) {
      const std::string mark = "_" + std::to_string(number) + ".sql";
      file = SafeFileNamePart(stem, kMaxFileName - mark.size()) + mark;
    }
    return (std::filesystem::path(dir) / file).string();
  };
  std::vector<Item> items;
  ForEachNode(root, [&](const TExpFileNode& node, const TExpFileUser* owner) {
    if (owner == nullptr) {
      if (onlyNode != nullptr && &node == onlyNode)
        items.push_back({&node, objectFile(nullptr, node)});
      else if (chosen(root.KindSelected, node))
        items.push_back({&node, DefinitionFileName(dir, node.Kind())});
    } else if (&node == owner) {
      if (onlyNode != nullptr ? &node == onlyNode : root.KindSelected[kKindUsers])
        items.push_back({&node, DefinitionFileName(dir, kKindUsers)});
    } else if (onlyNode != nullptr && &node == onlyNode) {
      items.push_back({&node, objectFile(owner, node)});
    } else if (chosen(owner->KindSelected, node)) {
      items.push_back({&node, ownerFile(*owner, node.Kind())});
    }
  });
  return items;
}

}  // namespace

std::vector<std::string> DefinitionFiles(const TExpFileRoot& root, const TExpFileNode* onlyNode) {
  std::vector<std::string> files;
  for (const Item& item : chosenItems(root, onlyNode))
    if (std::find(files.begin(), files.end(), item.file) == files.end()) files.push_back(item.file);
  return files;
}

void SelectAllKinds(TExpFileRoot& root) {
  root.KindSelected.fill(true);
  TExpFileUser* owner = nullptr;
  for (int u = 0; root.GetUser(u, owner); ++u) owner->KindSelected.fill(true);
}

TSaveObjDDl::TSaveObjDDl(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone)
    : DumpWorker(root, progress, std::move(onDone)) {}

TSaveObjDDl::~TSaveObjDDl() {
  StopAndJoin();
}

namespace {

// How many finished files wait to be synced together: a disk takes many syncs at once in about
// the time of one, and one after another they would cost most of a run of small files.
constexpr size_t kFilesPerSync = 16;

// A file written whole that waits for its sync and its name.
struct FinishedFile {
  std::string name;
  std::unique_ptr<platform::ReplacingFile> file;
};

// Syncs the files, all at once, and gives each its name. Each that fails is left as it was; the
// first of them is thrown (IoError) once all have been tried.
void commitAll(std::vector<FinishedFile>& files) {
  std::vector<char> committed(files.size(), 0);
  {
    std::vector<std::jthread> commits;
    commits.reserve(files.size());
    for (size_t i = 0; i < files.size(); ++i)
      commits.emplace_back([&files, &committed, i] {
        committed[i] = files[i].file->commit(platform::ReplacingFile::FolderSync::ByCaller);
      });
  }
  std::vector<FinishedFile> all = std::move(files);
  files.clear();
  for (size_t i = 0; i < all.size(); ++i)
    if (!committed[i])
      throw platform::IoError(
          "Cannot write to " + all[i].name + ": " + platform::errorText(all[i].file->error()),
          all[i].file->error());
}

}  // namespace

void TSaveObjDDl::Run() {
  TExpFileRoot& root = Root();
  const std::vector<Item> items = chosenItems(root, onlyNode_);

  // Each file is written whole, one after another, in the order the files are first written
  // to, each with its definitions in tree order: so that no file under its own name ever lacks
  // some of its definitions, a file's bytes go to a temporary file beside it that takes its name
  // only once all of them are on the disk. A run that fails, is cancelled or dies part way
  // leaves the file it was writing, and those it had not reached, as they were; the files it
  // finished take their names whatever ended the run, except its death.
  struct FileItems {
    std::string file;
    std::vector<const TExpFileNode*> nodes;
  };
  std::vector<FileItems> files;
  std::unordered_map<std::string, size_t> fileIndex;
  for (const Item& item : items) {
    const auto [at, added] = fileIndex.try_emplace(item.file, files.size());
    if (added) files.push_back({item.file, {}});
    files[at->second].nodes.push_back(item.node);
  }

  std::vector<FinishedFile> finished;
  auto hasRange = [](const TExpFileNode& n) { return n.StartOffset() >= 0 && n.Length() > 0; };
  // Writes every file; false when the run was cancelled or its message is set already.
  auto writeAll = [&]() -> bool {
    std::unique_ptr<platform::RandomReader> input;
    if (std::any_of(items.begin(), items.end(), [&](const Item& item) { return hasRange(*item.node); })) {
      input = OpenRootFile();
      if (!input) return false;
    }
    // What killed writers of these files left goes now, with one listing of the folder.
    std::vector<std::string> targets;
    targets.reserve(files.size());
    for (const FileItems& f : files) targets.push_back(f.file);
    platform::ReplacingFile::removeAbandoned(targets);
    BeginProgress(int64_t(items.size()));
    std::string bytes;
    for (const FileItems& f : files) {
      // Not committed: removed on every way out, the file under its own name untouched.
      auto out = std::make_unique<platform::ReplacingFile>();
      bool begun = false;
      for (const TExpFileNode* node : f.nodes) {
        if (Terminated()) return false;
        if (hasRange(*node)) {
          if (!ReadNodeBytes(*input, *node, bytes)) return false;
          std::string script = DdlScript(bytes);
          if (!script.empty()) {
            script.pop_back();  // the line break goes on as the file's own
            if (!begun && !out->begin(f.file, 0666, platform::ReplacingFile::Leftovers::RemovedByCaller))
              throw platform::IoError(
                  "Cannot open " + f.file + " for writing: " + platform::errorText(out->error()),
                  out->error());
            begun = true;
            std::string line = platform::NormalizeLineBreaks(script);
            line += "\r\n";
            if (!out->write(line))
              throw platform::IoError("Cannot write to " + f.file + ": " + platform::errorText(out->error()),
                                      out->error());
          }
        }
        CountProgress(1);
      }
      if (begun) {
        finished.push_back({f.file, std::move(out)});
        if (finished.size() == kFilesPerSync) commitAll(finished);
      } else {
        // Nothing to write: a file left by an earlier run would pass for this run's.
        int error = 0;
        if (!platform::removeFile(f.file, error)) {
          root.SetMessage("Delete " + f.file + " error!");
          return false;
        }
      }
    }
    return true;
  };

  bool whole = false;
  try {
    whole = writeAll();
  } catch (const std::exception& e) {
    root.SetMessage(WithCause(kSaveObjDdlError, e));
  }
  try {
    commitAll(finished);
    // One sync of the folder for all of its new names.
    int error = 0;
    if (whole && !files.empty() && !platform::syncFolderOf(files.front().file, error))
      throw platform::IoError("Cannot sync " + root.OutputDir() + ": " + platform::errorText(error), error);
    if (whole) root.SetMessage(std::string(kSaveObjDdlDone));
  } catch (const std::exception& e) {
    // The message of what ended the run before stays.
    if (whole) root.SetMessage(WithCause(kSaveObjDdlError, e));
  }
}

}  // namespace dumpfile
