// The object tree of one reading of a dump file (or of an analysis file): the root with the
// file's header facts and the reading's bookkeeping, the owners, each owner's objects, and the
// objects that belong to no owner. Every object node records where its definition text lies in
// the file that was read, so that the text can be read back without parsing it again.
//
// Threads: one worker fills a root; other threads read it only after the worker has ended. The
// cancel flag, the processed-bytes count and the message are the exceptions: the window thread may
// touch them while the worker runs, so they are safe to use from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace dumpfile {

constexpr int kKindCount = 25;

// Object kinds: indexes into KindName.
enum : uint8_t {
  kKindTablespaces = 0,
  kKindUsers = 1,
  kKindTables = 2,
  kKindViews = 3,
  kKindSnapshots = 4,
  kKindClusters = 5,
  kKindSynonymsOld = 6,
  kKindFunctions = 7,
  kKindProcedures = 8,
  kKindPackages = 9,
  kKindPackageBodies = 10,
  kKindSequences = 11,
  kKindIndexes = 12,
  kKindDirectories = 13,
  kKindProfiles = 14,
  kKindRoles = 15,
  kKindRollbackSegmentsOld = 16,
  kKindDatabaseLinksPublic = 17,
  kKindSynonymsPublic = 18,
  kKindDatabaseLinkInUser = 19,
  kKindUnknown = 20,
  kKindDatabaseLinks = 21,
  kKindRollbackSegments = 22,
  kKindSynonyms = 23,
  kKindTriggers = 24,
};

// The group captions and definition-file base names, exactly as shown and written
// (kKindRollbackSegments ends with a blank).
extern const std::array<std::string_view, kKindCount> KindName;

// Source kinds of a root.
enum : uint8_t { kSourceDumpFile = 1, kSourceAnalysisFile = 2 };

namespace tree_detail {
class NodeList;
}

// A node of the tree. A dump may hold millions of objects, so a node is kept small: its name lies
// in storage of the owner that holds it (or, for a node not held by an owner yet, its own).
class TExpFileNode {
 public:
  TExpFileNode() = default;
  ~TExpFileNode() { dropName(); }
  TExpFileNode(const TExpFileNode&) = delete;
  TExpFileNode& operator=(const TExpFileNode&) = delete;

  // Valid while the node lives and its name is not set again.
  std::string_view Name() const { return {name_, nameLength_}; }
  // Byte count of the definition; 0 while the node has no range.
  int64_t Length() const { return length_; }
  // Byte offset of the definition in the file that was read; -1 while the node has no range.
  int64_t StartOffset() const { return startOffset_; }
  uint8_t Kind() const { return kind_; }

  void SetName(std::string_view name);
  void SetLength(int64_t length) { length_ = length; }
  void SetStartOffset(int64_t offset) { startOffset_ = offset; }
  void SetKind(uint8_t kind) { kind_ = kind; }

 private:
  friend class TExpFileUser;
  friend class TExpFileRoot;
  friend class tree_detail::NodeList;

  // Takes on a name that its holder keeps for it.
  void setHeldName(std::string_view name) {
    dropName();
    name_ = name.data();
    nameLength_ = uint32_t(name.size());
  }
  // Inline: every node appended to a tree comes here, and almost none owns its name.
  void dropName() {
    if (ownsName_) freeName();
  }
  void freeName();

  const char* name_ = " ";
  uint32_t nameLength_ = 1;
  uint8_t kind_ = 0;
  bool ownsName_ = false;
  int64_t length_ = 0;
  int64_t startOffset_ = -1;
};

namespace tree_detail {

// The names of the nodes one owner holds, in chunks that never move.
class NameStore {
 public:
  static constexpr size_t kLargest = 65536;  // bytes of the chunks of an owner with many names
  std::string_view keep(std::string_view name);

 private:
  std::vector<std::unique_ptr<char[]>> chunks_;
  size_t used_ = 0, capacity_ = 0;
};

// Nodes in order, in chunks that never move (small ones first, for owners with few objects).
class NodeList {
 public:
  size_t size() const { return size_; }
  TExpFileNode* at(size_t i) const {
    size_t chunk, offset;
    locate(i, chunk, offset);
    return &chunks_[chunk][offset];
  }
  // A node of `kind` named `name` (kept in `names`) at the end.
  TExpFileNode* append(NameStore& names, std::string_view name, uint8_t kind);
  // A node with the name, kind and range of `node` at the end.
  TExpFileNode* append(NameStore& names, const TExpFileNode& node);

  static constexpr size_t kFirst = 4, kLargest = 4096;

 private:
  static void locate(size_t i, size_t& chunk, size_t& offset);

  std::vector<std::unique_ptr<TExpFileNode[]>> chunks_;
  size_t size_ = 0;
};

// Chunks of the largest size for node lists (NodeList::kLargest nodes) and name stores
// (NameStore::kLargest bytes), made ready on a thread of its own, their pages touched, while one
// thread fills a large tree: a fresh page costs the thread that first touches it a trip into the
// system, and the thread that fills the tree is the one that nothing else can help. Lists and
// stores take their chunks from here only on the thread that made it, while it lives; the
// thread starts making chunks once the first one is asked for, so a small tree costs nothing.
class ReadyChunks {
 public:
  ReadyChunks();
  ~ReadyChunks();
  ReadyChunks(const ReadyChunks&) = delete;
  ReadyChunks& operator=(const ReadyChunks&) = delete;

  // A chunk made ready for the calling thread, or null when there is none (none installed on
  // this thread, or none ready yet).
  static std::unique_ptr<TExpFileNode[]> takeNodes();
  static std::unique_ptr<char[]> takeNames();

 private:
  struct State;
  void make(std::stop_token stop);

  std::unique_ptr<State> state_;
  ReadyChunks* outer_;  // the one installed before, put back at the end
  std::jthread thread_;
};

}  // namespace tree_detail

// An owner (database user): kKindUsers, with its objects in the order found.
class TExpFileUser final : public TExpFileNode {
 public:
  TExpFileUser() { SetKind(kKindUsers); }

  // Counts the node under its kind, then appends a node like it (an object, not an owner).
  // Returns the node this owner holds.
  TExpFileNode* AddNode(std::unique_ptr<TExpFileNode> node);
  // Counts and appends a new object node of `kind` named `name`; returns it.
  TExpFileNode* AddNode(std::string_view name, uint8_t kind);
  // False when i is out of range.
  bool GetNode(int i, TExpFileNode*& node) const;
  int NodeCount() const { return int(objects_.size()); }
  // Number of objects added of `kind` (0 for a kind out of range).
  int32_t Counter(int kind) const { return kind >= 0 && kind < kKindCount ? counters_[kind] : 0; }

  // Which kinds of this owner's objects the definition writer writes.
  std::array<bool, kKindCount> KindSelected{};

 private:
  tree_detail::NameStore names_;
  tree_detail::NodeList objects_;
  std::array<int32_t, kKindCount> counters_{};
};

// The root of one reading.
class TExpFileRoot final : public TExpFileNode {
 public:
  TExpFileRoot();

  // The text the window shows for the top node.
  const std::string& Text() const { return text_; }
  void SetText(std::string text) { text_ = std::move(text); }

  // --- the tree
  TExpFileUser* AddUser(std::unique_ptr<TExpFileUser> owner);
  // As TExpFileUser::AddNode, for the objects that belong to no owner.
  TExpFileNode* AddPublicObject(std::unique_ptr<TExpFileNode> node);
  TExpFileNode* AddPublicObject(std::string_view name, uint8_t kind);
  bool GetUser(int i, TExpFileUser*& owner) const;
  bool GetPublicObject(int i, TExpFileNode*& node) const;
  int UserCount() const { return int(owners_.size()); }
  int PublicObjectCount() const { return int(publicObjects_.size()); }
  int32_t PublicCounter(int kind) const { return kind >= 0 && kind < kKindCount ? counters_[kind] : 0; }
  // Index of the first owner whose name equals `name` byte for byte; -1 when none.
  int FindUser(std::string_view name) const;

  // Root-level kinds the definition writer writes; the flag of kKindUsers chooses the owners' own texts.
  std::array<bool, kKindCount> KindSelected{};

  // --- header facts, set by the caller before a worker starts (or by the analysis-file reader)
  const std::string& DumpFileName() const { return dumpFileName_; }
  const std::string& ExportModeText() const { return exportModeText_; }
  const std::string& ExportUser() const { return exportUser_; }
  const std::string& NlsLang() const { return nlsLang_; }
  const std::string& ExportVersion() const { return exportVersion_; }
  uint8_t SourceKind() const { return sourceKind_; }
  // 1 entire database, 2 user, 3 table.
  int ExportMode() const { return exportMode_; }
  const std::string& OutputDir() const { return outputDir_; }
  void SetDumpFileName(std::string v) { dumpFileName_ = std::move(v); }
  void SetExportModeText(std::string v) { exportModeText_ = std::move(v); }
  void SetExportUser(std::string v) { exportUser_ = std::move(v); }
  void SetNlsLang(std::string v) { nlsLang_ = std::move(v); }
  void SetExportVersion(std::string v) { exportVersion_ = std::move(v); }
  void SetSourceKind(uint8_t v) { sourceKind_ = v; }
  void SetExportMode(int v) { exportMode_ = v; }
  void SetOutputDir(std::string v) { outputDir_ = std::move(v); }

  // --- shared with the window thread while a worker runs
  bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }
  void SetCancelled(bool v) { cancelled_.store(v, std::memory_order_release); }
  int64_t ProcessedBytes() const { return processedBytes_.load(std::memory_order_relaxed); }
  void SetProcessedBytes(int64_t v) { processedBytes_.store(v, std::memory_order_relaxed); }
  std::string Message() const;
  void SetMessage(std::string v);
  // The tree holds only part of the file: the reading was cancelled, failed, or the dump ends
  // before its closing records.
  bool Incomplete() const { return incomplete_.load(std::memory_order_acquire); }
  void SetIncomplete(bool v) { incomplete_.store(v, std::memory_order_release); }

  // --- the reading's bookkeeping (worker thread only)
  bool UserMode() const { return userMode_; }
  void SetUserMode(bool v) { userMode_ = v; }
  TExpFileUser* CurrentOwner() const { return currentOwner_; }
  void SetCurrentOwner(TExpFileUser* owner) { currentOwner_ = owner; }
  TExpFileNode* OpenNode() const { return openNode_; }
  void SetOpenNode(TExpFileNode* node) { openNode_ = node; }
  // Bytes of the file consumed so far.
  int64_t ReadPosition() const { return readPosition_; }
  void SetReadPosition(int64_t v) { readPosition_ = v; }
  int64_t StatementStart() const { return statementStart_; }
  int64_t NextStatementStart() const { return nextStatementStart_; }

  // The line just handed over belongs to the open object: its range now ends here.
  void MarkLineStart() { nextStatementStart_ = readPosition_; }
  // The line just handed over belongs to nothing: both marks move past it.
  void NextStatement();
  // Gives the open node (if any, and if the read position has moved past the statement start)
  // the range [statement start, next-statement start), advances the marks and closes it.
  void CloseCurrentNode();

 private:
  std::vector<std::unique_ptr<TExpFileUser>> owners_;
  std::string text_ = " ";
  tree_detail::NameStore publicNames_;
  tree_detail::NodeList publicObjects_;
  std::array<int32_t, kKindCount> counters_{};

  std::string dumpFileName_, exportModeText_, exportUser_, nlsLang_, exportVersion_, outputDir_;
  uint8_t sourceKind_ = kSourceDumpFile;
  int exportMode_ = 0;

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> incomplete_{false};
  std::atomic<int64_t> processedBytes_{0};
  mutable std::mutex messageMutex_;
  std::string message_;

  bool userMode_ = false;
  TExpFileUser* currentOwner_ = nullptr;
  TExpFileNode* openNode_ = nullptr;
  int64_t readPosition_ = 0;
  int64_t statementStart_ = 0;
  int64_t nextStatementStart_ = 0;
};

// Visits every node in tree order, the order of the tree view, the analysis file and the
// definition writer: the public objects, then each owner's own node followed by its objects.
// `visit(node, owner)` gets a null owner for a public object, and the owner itself for its own node.
template <class Visit>
void ForEachNode(const TExpFileRoot& root, Visit&& visit) {
  TExpFileNode* node = nullptr;
  for (int i = 0; root.GetPublicObject(i, node); ++i) visit(static_cast<const TExpFileNode&>(*node), nullptr);
  TExpFileUser* owner = nullptr;
  for (int i = 0; root.GetUser(i, owner); ++i) {
    const TExpFileUser* o = owner;
    visit(static_cast<const TExpFileNode&>(*o), o);
    for (int j = 0; owner->GetNode(j, node); ++j) visit(static_cast<const TExpFileNode&>(*node), o);
  }
}

}  // namespace dumpfile
