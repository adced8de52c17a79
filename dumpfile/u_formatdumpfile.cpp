#include "dumpfile/u_formatdumpfile.h"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "lexyacc/lexlib.h"
#include "platform/processinfo.h"

namespace dumpfile {

const std::array<std::string_view, kKindCount> KindName = {
    "Tablespaces",
    "Users",
    "Tables",
    "Views",
    "Snapshots",
    "Clusters",
    "Synonyms",
    "Functions",
    "Procedures",
    "Packages",
    "Package bodies",
    "Sequences",
    "Indexes",
    "Directories",
    "Profiles",
    "Roles",
    "Rollback Segments",
    "Database_links_public",
    "synonyms_public",
    "Databaselink_inuser",
    "Unknown",
    "Database Links",
    "Rollback Segments ",
    "Synonyms",
    "Triggers",
};

// --- TExpFileNode

void TExpFileNode::freeName() {
  delete[] name_;
  ownsName_ = false;
}

void TExpFileNode::SetName(std::string_view name) {
  auto copy = std::make_unique<char[]>(name.size() + 1);
  if (!name.empty()) std::memcpy(copy.get(), name.data(), name.size());
  setHeldName({copy.get(), name.size()});
  name_ = copy.release();
  ownsName_ = true;
}

// --- storage of the nodes

namespace tree_detail {

std::string_view NameStore::keep(std::string_view name) {
  if (name.empty()) return {};
  if (name.size() > capacity_ - used_) {
    // Chunks grow with the owner, so that owners with a few objects stay small.
    const size_t next = std::min<size_t>(size_t(64) << std::min<size_t>(chunks_.size(), 10), 65536);
    capacity_ = std::max(next, name.size());
    std::unique_ptr<char[]> ready = capacity_ == kLargest ? ReadyChunks::takeNames() : nullptr;
    chunks_.push_back(ready ? std::move(ready) : std::make_unique_for_overwrite<char[]>(capacity_));
    used_ = 0;
  }
  char* at = chunks_.back().get() + used_;
  // A few loads and stores: a name is copied for every object the reader finds.
  lexyacc::detail::copyShort(at, name.data(), name.size());
  used_ += name.size();
  return {at, name.size()};
}

// --- chunks made ready

namespace {

thread_local ReadyChunks* installedChunks = nullptr;

}  // namespace

struct ReadyChunks::State {
  // Enough for some ten thousand objects, so that a burst of them does not run the store dry.
  static constexpr size_t kKeep = 16;
  std::mutex mutex;
  std::condition_variable_any wanted;
  bool asked = false;   // a chunk has been asked for: from then on the store is kept full
  bool failed = false;  // a chunk could not be made: none is made any more
  std::vector<std::unique_ptr<TExpFileNode[]>> nodes;
  std::vector<std::unique_ptr<char[]>> names;

  bool low() const { return asked && !failed && (nodes.size() < kKeep / 2 || names.size() < kKeep / 2); }

  State() {
    // Kept from throwing where it has no one to throw to.
    nodes.reserve(kKeep);
    names.reserve(kKeep);
  }

  template <class T>
  std::unique_ptr<T> take(std::vector<std::unique_ptr<T>>& from) {
    std::unique_lock lock(mutex);
    std::unique_ptr<T> chunk;
    if (!from.empty()) {
      chunk = std::move(from.back());
      from.pop_back();
    }
    asked = true;
    if (low()) wanted.notify_one();
    return chunk;
  }
};

ReadyChunks::ReadyChunks() : state_(std::make_unique<State>()), outer_(installedChunks) {
  installedChunks = this;
  thread_ = std::jthread([this](std::stop_token stop) { make(stop); });
}

ReadyChunks::~ReadyChunks() {
  installedChunks = outer_;
  thread_.request_stop();
  thread_.join();
}

void ReadyChunks::make(std::stop_token stop) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  // (A stopped wait answers whether the store is low, which it may well be.)
  while (s.wanted.wait(lock, stop, [&] { return s.low(); }) && !stop.stop_requested()) {
    while (!stop.stop_requested() && (s.nodes.size() < State::kKeep || s.names.size() < State::kKeep)) {
      const bool nodes = s.nodes.size() <= s.names.size();
      lock.unlock();
      // Constructed nodes and names with a byte written on every page: all pages touched.
      std::unique_ptr<TExpFileNode[]> n;
      std::unique_ptr<char[]> t;
      try {
        if (nodes) {
          n = std::make_unique<TExpFileNode[]>(NodeList::kLargest);
        } else {
          t = std::make_unique_for_overwrite<char[]>(NameStore::kLargest);
          for (size_t i = 0; i < NameStore::kLargest; i += 4096) t[i] = 0;
        }
      } catch (...) {
        // Out of memory: the tree's own thread makes its chunks (and meets the failure) itself.
        lock.lock();
        s.failed = true;
        return;
      }
      lock.lock();
      if (nodes)
        s.nodes.push_back(std::move(n));
      else
        s.names.push_back(std::move(t));
    }
  }
}

std::unique_ptr<TExpFileNode[]> ReadyChunks::takeNodes() {
  return installedChunks != nullptr ? installedChunks->state_->take(installedChunks->state_->nodes) : nullptr;
}

std::unique_ptr<char[]> ReadyChunks::takeNames() {
  return installedChunks != nullptr ? installedChunks->state_->take(installedChunks->state_->names) : nullptr;
}

void NodeList::locate(size_t i, size_t& chunk, size_t& offset) {
  // Chunks of kFirst, kFirst, 2 kFirst, 4 kFirst ... up to kLargest / 2 hold the first kLargest
  // nodes; chunks of kLargest the rest.
  if (i < kFirst) {
    chunk = 0;
    offset = i;
  } else if (i < kLargest) {
    chunk = size_t(std::bit_width(i / kFirst));
    offset = i - (kFirst << (chunk - 1));
  } else {
    constexpr size_t kSmallChunks = std::bit_width(kLargest / kFirst);
    chunk = kSmallChunks + (i - kLargest) / kLargest;
    offset = (i - kLargest) % kLargest;
  }
}

TExpFileNode* NodeList::append(NameStore& names, std::string_view name, uint8_t kind) {
  size_t chunk, offset;
  locate(size_, chunk, offset);
  if (chunk == chunks_.size()) {
    const size_t n = chunk == 0 ? kFirst : size_ < kLargest ? kFirst << (chunk - 1) : kLargest;
    std::unique_ptr<TExpFileNode[]> ready = n == kLargest ? ReadyChunks::takeNodes() : nullptr;
    chunks_.push_back(ready ? std::move(ready) : std::make_unique<TExpFileNode[]>(n));
  }
  TExpFileNode* node = &chunks_[chunk][offset];
  ++size_;
  node->setHeldName(names.keep(name));
  node->SetKind(kind);
  return node;
}

TExpFileNode* NodeList::append(NameStore& names, const TExpFileNode& from) {
  TExpFileNode* node = append(names, from.Name(), from.Kind());
  node->SetStartOffset(from.StartOffset());
  node->SetLength(from.Length());
  return node;
}

}  // namespace tree_detail

// --- TExpFileUser

TExpFileNode* TExpFileUser::AddNode(std::unique_ptr<TExpFileNode> node) {
  const uint8_t kind = node->Kind();
  if (kind < kKindCount) ++counters_[kind];
  return objects_.append(names_, *node);
}

TExpFileNode* TExpFileUser::AddNode(std::string_view name, uint8_t kind) {
  if (kind < kKindCount) ++counters_[kind];
  return objects_.append(names_, name, kind);
}

bool TExpFileUser::GetNode(int i, TExpFileNode*& node) const {
  if (i < 0 || i >= NodeCount()) return false;
  node = objects_.at(size_t(i));
  return true;
}

TExpFileRoot::TExpFileRoot() : outputDir_(platform::programDirectory()) {}

TExpFileUser* TExpFileRoot::AddUser(std::unique_ptr<TExpFileUser> owner) {
  owners_.push_back(std::move(owner));
  return owners_.back().get();
}

TExpFileNode* TExpFileRoot::AddPublicObject(std::unique_ptr<TExpFileNode> node) {
  const uint8_t kind = node->Kind();
  if (kind < kKindCount) ++counters_[kind];
  return publicObjects_.append(publicNames_, *node);
}

TExpFileNode* TExpFileRoot::AddPublicObject(std::string_view name, uint8_t kind) {
  if (kind < kKindCount) ++counters_[kind];
  return publicObjects_.append(publicNames_, name, kind);
}

bool TExpFileRoot::GetUser(int i, TExpFileUser*& owner) const {
  if (i < 0 || i >= UserCount()) return false;
  owner = owners_[size_t(i)].get();
  return true;
}

bool TExpFileRoot::GetPublicObject(int i, TExpFileNode*& node) const {
  if (i < 0 || i >= PublicObjectCount()) return false;
  node = publicObjects_.at(size_t(i));
  return true;
}

int TExpFileRoot::FindUser(std::string_view name) const {
  for (size_t i = 0; i < owners_.size(); ++i)
    if (owners_[i]->Name() == name) return int(i);
  return -1;
}

std::string TExpFileRoot::Message() const {
  std::lock_guard lock(messageMutex_);
  return message_;
}

void TExpFileRoot::SetMessage(std::string v) {
  std::lock_guard lock(messageMutex_);
  message_ = std::move(v);
}

void TExpFileRoot::NextStatement() {
  statementStart_ = nextStatementStart_;
  nextStatementStart_ = readPosition_;
}

void TExpFileRoot::CloseCurrentNode() {
  if (openNode_ != nullptr && readPosition_ > statementStart_) {
    openNode_->SetStartOffset(statementStart_);
    openNode_->SetLength(nextStatementStart_ - statementStart_);
  }
  statementStart_ = nextStatementStart_;
  nextStatementStart_ = readPosition_;
  openNode_ = nullptr;
}

}  // namespace dumpfile
