// The statement driver: a text of several statements checked whole before any runs, preparing
// each statement's queries from the last to the first, running them, and parameter values.
#include <cstring>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"
#include "platform/debugassert.h"
#include "platform/scopeguard.h"

namespace engine::sql {

namespace {

[[noreturn]] void parameterError() {
  SqlError("Internal parameter error");
}

}  // namespace

void TQueryStatement::parseNext() {
  FreeQueries();
  params_.clear();
  parser_.errorCode = VELDOR_SQLPARSE;
  parser_.contextWord = "SQL statement";
  platform::UndoOnFailure drop([&] { FreeQueries(); });
  CreateMasterQuery().Parse(false, 0);
  drop.Dismiss();
}

void TQueryStatement::Prepare(std::string_view sql) {
  Database();
  failed_ = nullptr;
  try {
    prepareText(sql);
  } catch (...) {
    // Half-prepared queries, or the first statement of a text whose later one failed, must not
    // run: the caller was told that the text does not.
    forgetPrepared();
    failed_ = std::current_exception();
    throw;
  }
}

void TQueryStatement::forgetPrepared() {
  FreeQueries();
  params_.clear();
  paramCounts_.clear();
  paramValues_.clear();
  checkedParams_.reset();
  preparedColumns_.clear();
  fresh_ = false;
}

void TQueryStatement::prepareText(std::string_view sql) {
  forgetPrepared();
  text_ = std::string(sql);
  // Every statement's syntax first, so that a fault in a later one stops the text before the
  // earlier ones changed anything.
  parser_.SetText(text_);
  parser_.NextToken();
  while (!parser_.IsTokenKind(tkEnd)) {
    parseNext();
    paramCounts_.push_back(params_.size());
  }
  // A text of one statement keeps the queries its check built: reading it again would build the
  // same ones, from the same text, and leave the reader where it is now, at the end.
  const bool single = paramCounts_.size() == 1 && !remote_;
  if (!single) FreeQueries();
  size_t total = 0;
  for (size_t n : paramCounts_) total += n;
  paramValues_.resize(total);
  if (paramCounts_.empty()) return;
  // On an engine server the text is checked here and prepared there.
  if (remote_) return remotePrepare(sql);
  current_ = 0;
  if (!single) {
    parser_.SetText(text_);
    parser_.NextToken();
    parseNext();
  }
  prepareQueries();
  // No value is given yet: a parameter has no type, and neither has an operator above it. The
  // first run checks the statement again with its values.
  if (paramCounts_[0] == 0) checkedParams_.emplace();
  if (master_->Kind == qkSelect)
    for (const auto& f : master_->ResultFields)
      preparedColumns_.emplace_back(f->ResultType, f->ColumnSubType);
  fresh_ = true;
}

void TQueryStatement::prepareQueries() {
  TDataQuery& master = *master_;
  Kind = master.Kind;
  if (master.Kind != qkSelect) {
    master.RequestLive = true;
    master.MaxRowCount = -1;
  } else {
    master.RequestLive = RequestLive;
    master.MaxRowCount = MaxRowCount;
  }
  // The rows an INSERT reads are copied first, so that it never reads what it writes.
  if (master.SelectQuery) master.SelectQuery->RequestLive = false;
  for (size_t i = queries_.size(); i-- > 0;) queries_[i]->Prepare(passwordCallback_);
  // Every chain of UNION parts writes into the table of the query that began it: the master's,
  // an INSERT's SELECT or a sub-select.
  for (auto& query : queries_) {
    if (!query->UnionQuery || query->unionPart_) continue;
    VELMARON_DEBUG_ASSERT(query->ResultCursor, "a query with UNION parts has a result table");
    for (TDataQuery* part = query->UnionQuery; part; part = part->UnionQuery) {
      part->ResultCursor = query->ResultCursor;
      part->plan_.Result = query->ResultCursor;
      part->unionTagFieldNo_ = query->unionTagFieldNo_;
    }
  }
  Live = master.Live;
  ResultOnSourceTable = master.ResultOnSourceTable;
  SelectStar = master.SelectStar;
}

void TQueryStatement::SetParams(uint16_t count, std::span<const TFieldDescriptor> descriptors,
                                std::span<const uint8_t> values, std::span<const size_t> offsets) {
  if (count > descriptors.size() || (!offsets.empty() && count > offsets.size())) parameterError();
  for (uint16_t i = 0; i < count; ++i) {
    if (i >= paramValues_.size()) parameterError();
    const TFieldDescriptor& d = descriptors[i];
    TParamValue& p = paramValues_[i];
    const size_t flag = offsets.empty() ? d.Offset() : offsets[i];
    size_t at = flag;
    if (at >= values.size()) parameterError();
    bool blob = d.IsBlob();
    size_t size = d.StoredSize();
    if (blob) {
      if (values.size() - at - 1 < 4) parameterError();
      size = platform::get4(values.data() + at + 1);
      if (values.size() - at - 5 < size) parameterError();
      at += 4;
    } else if (values.size() - at - 1 < size) {
      parameterError();
    }
    p.given = true;
    p.type = TEngineFieldType(d.Type());
    p.subType = TEngineFieldSubType(d.SubType());
    p.scale = blob ? 0 : d.StoredScale();
    p.isNull = values[flag] == 0;
    // A memo's text goes without its terminating zero.
    if (blob && p.subType == TEngineFieldSubType::Memo && size > 0 && values[at + size] == 0) --size;
    p.bytes.assign(values.begin() + ptrdiff_t(at + 1), values.begin() + ptrdiff_t(at + 1 + size));
  }
}

void TQueryStatement::applyParams(size_t index) {
  size_t first = 0;
  for (size_t k = 0; k < index; ++k) first += paramCounts_[k];
  if (params_.size() != paramCounts_[index]) parameterError();
  for (size_t i = 0; i < params_.size(); ++i) {
    const TParamValue& p = paramValues_[first + i];
    if (!p.given) SqlError("No value was given for parameter " + std::to_string(first + i + 1));
    TExpToken& node = *params_[i];
    node.type = p.type;
    node.subType = p.subType;
    node.scale = p.scale;
    node.isNull = p.isNull;
    // A text or memo keeps its terminating zero, as column values do; other blobs are their
    // bytes alone.
    const bool text = p.type == TEngineFieldType::String ||
                      (p.type == TEngineFieldType::Blob && p.subType == TEngineFieldSubType::Memo);
    node.SetValueSize(uint32_t(p.bytes.size() + (text ? 1 : 0)));
    std::fill(node.Value(), node.Value() + node.valueSize, uint8_t(0));
    if (!p.bytes.empty()) std::memcpy(node.Value(), p.bytes.data(), p.bytes.size());
  }
}

bool TQueryStatement::checkedWithParams(size_t index) const {
  if (paramCounts_[index] == 0) return true;
  if (!checkedParams_ || checkedParams_->size() != paramCounts_[index]) return false;
  size_t first = 0;
  for (size_t k = 0; k < index; ++k) first += paramCounts_[k];
  for (size_t i = 0; i < paramCounts_[index]; ++i) {
    const TParamValue& p = paramValues_[first + i];
    const TCheckedParam& c = (*checkedParams_)[i];
    // A text no longer than the checked one fits every size the check derived from it.
    if (!p.given || p.type != c.type || p.subType != c.subType || p.scale != c.scale ||
        p.bytes.size() > c.size)
      return false;
  }
  return true;
}

void TQueryStatement::rememberCheckedParams(size_t index) {
  size_t first = 0;
  for (size_t k = 0; k < index; ++k) first += paramCounts_[k];
  std::vector<TCheckedParam> checked;
  for (size_t i = 0; i < paramCounts_[index]; ++i) {
    const TParamValue& p = paramValues_[first + i];
    checked.push_back({p.type, p.subType, p.scale, p.bytes.size()});
  }
  checkedParams_ = std::move(checked);
}

void TQueryStatement::prepareWithParams(size_t index) {
  checkedParams_.reset();
  current_ = index;
  parseNext();
  applyParams(index);
  prepareQueries();
  rememberCheckedParams(index);
  if (index != 0 || preparedColumns_.empty()) return;
  // What Prepare reported of the result stays so.
  const auto& fields = master_->ResultFields;
  bool same = fields.size() == preparedColumns_.size();
  for (size_t i = 0; same && i < fields.size(); ++i)
    same = fields[i]->ResultType == preparedColumns_[i].first &&
           fields[i]->ColumnSubType == preparedColumns_[i].second;
  if (!same) SqlError("Type mismatch between parameter values and the prepared result columns");
}

TDataCursor* TQueryStatement::executeQueries() {
  TDataQuery& master = *master_;
  // A result taken from the pool with an earlier statement's row keeps it until the master's run
  // writes its own: a failure before that (a subquery's, a lock's) leaves the result empty, as a
  // result made afresh is left.
  platform::UndoOnFailure emptyTakenRow([&] {
    TDataCursor* result = master.Kind == qkSelect ? master.ResultCursor : nullptr;
    if (!result || !result->Table() || !result->Table()->HoldsIdleRow()) return;
    try {
      result->EmptyTable();
    } catch (...) {
      // The row stays with a result nobody is given; the table's next creator of one row writes
      // it anew, any other passes it by.
    }
  });
  // The parts run first and add to their chain's table, which nothing else empties.
  for (auto& query : queries_) {
    if (!query->UnionQuery || query->unionPart_ || !query->ResultCursor) continue;
    query->ResultCursor->SwitchToIndex(255);
    query->ResultCursor->EmptyTable();
  }
  for (size_t i = queries_.size(); i-- > 1;) queries_[i]->Execute();
  master.Execute();
  ElapsedSeconds += master.ElapsedSeconds;
  RowsAffected += master.RowsAffected;
  return master.Kind == qkSelect ? master.ResultCursor : nullptr;
}

TDataCursor* TQueryStatement::Execute() {
  Database();
  if (failed_) std::rethrow_exception(failed_);
  ElapsedSeconds = 0;
  RowsAffected = 0;
  if (paramCounts_.empty()) return nullptr;
  if (remote_) return remoteExecute();
  TDataCursor* result = nullptr;
  // A single statement stays prepared between runs; a longer text is read again, since its
  // later statements may depend on what the earlier ones did.
  // Either way only when the parameters' values have the types the queries were checked with.
  bool reuse = (fresh_ || (paramCounts_.size() == 1 && master_)) && checkedWithParams(0);
  fresh_ = false;
  if (!reuse) {
    parser_.SetText(text_);
    parser_.NextToken();
  }
  for (size_t k = 0; k < paramCounts_.size(); ++k) {
    if (k > 0 || !reuse) prepareWithParams(k);
    applyParams(k);
    result = executeQueries();
  }
  return result;
}

// ---- Statement ----

TQueryStatement::TQueryStatement(TDataDirectory& database) : database_(&database), parser_(this) {
  parser_.errorCode = VELDOR_SQLPARSE;
  parser_.contextWord = "SQL statement";
  remote_ = Session().IsRemote();
  if (remote_) remoteCreate();
  database.AddStatement(this);
}

TQueryStatement::~TQueryStatement() {
  if (database_) {
    if (remote_) {
      try {
        remoteFree();
      } catch (...) {
        // A destructor cannot report; the server frees a lost session's statements itself.
      }
    }
    database_->RemoveStatement(this);
  }
  FreeQueries();
}

void TQueryStatement::DirectoryGone() {
  // The directory is on its way out inside its session's bookkeeping, and the session may be
  // going too: nothing here calls back into either. The queries are freed with the statement;
  // their cursors were closed by their directories, and what they hold of a directory still
  // open stays counted until the session closes it. The server frees the statement of a
  // remote session when that session ends.
  database_ = nullptr;
  RemoteResultDirectory = nullptr;
}

TDataDirectory& TQueryStatement::Database() const {
  if (!database_) SignalEngineError(VELDOR_NOTINITIALIZED);
  return *database_;
}

TDataSession& TQueryStatement::Session() const {
  return Database().Session();
}

std::string TQueryStatement::DatabaseName() const {
  return Session().IsRemote() ? Database().Name() : Database().Path();
}

void TQueryStatement::FreeQueries() {
  master_ = nullptr;
  while (!queries_.empty()) queries_.pop_back();
}

TDataQuery& TQueryStatement::NewQuery() {
  queries_.push_back(std::make_unique<TDataQuery>(*this));
  return *queries_.back();
}

TDataQuery& TQueryStatement::CreateMasterQuery() {
  master_ = &NewQuery();
  return *master_;
}

std::unique_ptr<engine::TDataQuery> TQueryStatement::CreateQuery() {
  return std::make_unique<TDataQuery>(*this);
}

engine::TDataQuery* TQueryStatement::AddQuery(std::unique_ptr<engine::TDataQuery> query) {
  auto* own = dynamic_cast<TDataQuery*>(query.get());
  if (!own) SignalEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "", "Internal query error");
  query.release();
  queries_.emplace_back(own);
  return own;
}

void TQueryStatement::ParseStatement(std::string_view sql) {
  paramCounts_.clear();
  parser_.SetText(sql);
  parser_.NextToken();
  parseNext();
}

}  // namespace engine::sql
