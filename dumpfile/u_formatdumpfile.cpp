#include "dumpfile/u_formatdumpfile.h"

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

TExpFileNode* TExpFileUser::AddNode(std::unique_ptr<TExpFileNode> node) {
  const uint8_t kind = node->Kind();
  if (kind < kKindCount) ++counters_[kind];
  objects_.push_back(std::move(node));
  return objects_.back().get();
}

bool TExpFileUser::GetNode(int i, TExpFileNode*& node) const {
  if (i < 0 || i >= NodeCount()) return false;
  node = objects_[size_t(i)].get();
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
  publicObjects_.push_back(std::move(node));
  return publicObjects_.back().get();
}

bool TExpFileRoot::GetUser(int i, TExpFileUser*& owner) const {
  if (i < 0 || i >= UserCount()) return false;
  owner = owners_[size_t(i)].get();
  return true;
}

bool TExpFileRoot::GetPublicObject(int i, TExpFileNode*& node) const {
  if (i < 0 || i >= PublicObjectCount()) return false;
  node = publicObjects_[size_t(i)].get();
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
