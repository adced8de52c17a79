// The query component's parameters: the text the driver receives and the packed values.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "dataset/dberror.h"
#include "engine/components/veldortb.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"

namespace engine::components {

namespace ds = dataset;

std::string ParseSQLParams(std::string_view sql, std::vector<std::string>& names) {
  std::string out;
  char quote = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote) {
      out += c;
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      out += c;
      continue;
    }
    if (c == ':' && i + 1 < sql.size() && sql[i + 1] == ':') {
      out += ':';
      ++i;
      continue;
    }
    auto nameChar = [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_'; };
    if (c == ':' && i + 1 < sql.size() && nameChar(sql[i + 1])) {
      size_t end = i + 1;
      while (end < sql.size() && nameChar(sql[end])) ++end;
      names.emplace_back(sql.substr(i + 1, end - i - 1));
      out += '?';
      i = end - 1;
      continue;
    }
    out += c;
  }
  return out;
}

namespace {

// The stored size of a value that travels by reference: its length and its address.
constexpr size_t kReferenceSize = sizeof(size_t) + sizeof(const void*);

size_t storedSize(ds::FieldType t, const ds::Variant& v, bool byReference) {
  if (byReference) return kReferenceSize;
  switch (t) {
    case ds::ftString:
    case ds::ftFixedChar:
    case ds::ftWideString:
      return (v.isNull() ? 0 : v.asString().size()) + 1;
    case ds::ftSmallint:
    case ds::ftWord:
    case ds::ftBoolean:
      return 2;
    case ds::ftInteger:
    case ds::ftAutoInc:
    case ds::ftDate:
    case ds::ftTime:
      return 4;
    case ds::ftBCD:
      return 34;
    case ds::ftBytes:
    case ds::ftVarBytes:
      return v.isNull() ? 0 : v.asBytes().size();
    default:
      return 8;
  }
}

}  // namespace

void PackQueryParams(const ds::Params& params, TQueryParamBlock& block) {
  block = {};
  size_t total = 0;
  struct Entry {
    uint8_t type, subType;
    size_t size;
    bool byReference;
  };
  std::vector<Entry> entries;
  for (int i = 0; i < params.Count(); ++i) {
    const ds::Param& p = params[i];
    Entry e{};
    FieldTypeToEngineType(p.DataType, e.type, e.subType);
    if (e.type == 0) ds::DatabaseErrorFmt(SNoParameterValue, p.Name);
    const bool text = e.type == 1;
    // A text too long to go inline goes by reference as a memo, which still compares and
    // concatenates as text once the statement is checked with its value.
    if (text && !p.IsNull() && p.Value().asString().size() > kMaxInlineParamText)
      e.type = 3, e.subType = uint8_t(TEngineFieldSubType::Memo);
    e.byReference = e.type == 3;
    e.size = storedSize(p.DataType, p.Value(), e.byReference);
    entries.push_back(e);
    block.offsets.push_back(total);
    total += e.size + 1;
  }
  block.buffer.assign(total, 0);
  block.texts.reserve(entries.size());
  for (int i = 0; i < params.Count(); ++i) {
    const ds::Param& p = params[i];
    const Entry& e = entries[size_t(i)];
    TFieldDescriptor d;
    d.SetFieldNumber(uint16_t(i + 1));
    d.SetName(p.Name);
    d.SetType(e.type);
    d.SetSubType(e.subType);
    d.SetStoredSize(uint8_t(std::min<size_t>(e.size, 255)));
    if (e.type == 8) d.SetStoredScale(4), d.SetScale(4);
    const size_t at = block.offsets[size_t(i)];
    if (at <= 0xFFFF) d.SetOffset(uint16_t(at));
    uint8_t* value = block.buffer.data() + at + 1;
    bool has = !p.IsNull();
    if (has && e.byReference) {
      const ds::Variant& v = p.Value();
      if (v.isText()) {
        block.texts.push_back(v.asString());
      } else {
        const std::vector<uint8_t> b = v.asBytes();
        block.texts.emplace_back(b.begin(), b.end());
      }
      const std::string& bytes = block.texts.back();
      const size_t length = bytes.size();
      const void* address = bytes.data();
      std::memcpy(value, &length, sizeof length);
      std::memcpy(value + sizeof length, &address, sizeof address);
    } else if (has) {
      if (e.type == 9 || e.type == 15) {
        const std::vector<uint8_t> b = p.Value().asBytes();
        std::memcpy(value, b.data(), b.size());
      } else {
        TFieldDescriptor form = d;
        form.SetStoredSize(uint8_t(std::min<size_t>(e.size, 255)));
        if (e.type == 8) form.SetScale(4);
        std::vector<uint8_t> bytes(std::max<size_t>(e.size, 8));
        has = VariantToEngineValue(form, p.Value(), bytes.data());
        std::memcpy(value, bytes.data(), e.size);
      }
    }
    block.buffer[at] = has ? 1 : 0;
    block.descriptors.push_back(d);
  }
}

}  // namespace engine::components

// ---- Query ----

namespace engine::components {

using ds::DatabaseError;
using platform::ScopeExit;

namespace {

// Database-use flags: a prepared driver, and a run without a result.
constexpr int kFlagPrepared = 1;
constexpr int kFlagExec = 2;

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
  return text;
}

// The packed block in the driver's form: a blob's bytes follow its length in the buffer itself,
// and every offset is a size_t.
struct DriverValues {
  std::vector<uint8_t> buffer;
  std::vector<size_t> offsets;
};

DriverValues driverValues(const TQueryParamBlock& block) {
  DriverValues out;
  for (size_t i = 0; i < block.descriptors.size(); ++i) {
    const TFieldDescriptor& d = block.descriptors[i];
    const uint8_t* flag = block.buffer.data() + block.offsets[i];
    out.offsets.push_back(out.buffer.size());
    if (!d.IsBlob()) {
      out.buffer.insert(out.buffer.end(), flag, flag + 1 + d.StoredSize());
      continue;
    }
    size_t length = 0;
    const uint8_t* address = nullptr;
    if (*flag) {
      std::memcpy(&length, flag + 1, sizeof length);
      std::memcpy(&address, flag + 1 + sizeof length, sizeof address);
    }
    // The driver's blob length is 32 bits; the engine's largest blob is below 2 GiB.
    if (length > 0x7FFFFFFF) sql::SqlError("Internal parameter error");
    // A memo travels with its terminating zero, which the driver drops.
    const bool memo = *flag && d.SubType() == 22;
    out.buffer.push_back(*flag);
    uint8_t size[4];
    platform::put4(size, uint32_t(length + (memo ? 1 : 0)));
    out.buffer.insert(out.buffer.end(), size, size + 4);
    if (length) out.buffer.insert(out.buffer.end(), address, address + length);
    if (memo) out.buffer.push_back(0);
  }
  return out;
}

}  // namespace

TVELDORQuery::TVELDORQuery() = default;

TVELDORQuery::~TVELDORQuery() {
  try {
    Disconnect();
  } catch (...) {
    // A destructor cannot report the close's failure; the driver goes with the object.
  }
}

void TVELDORQuery::SetSQL(std::vector<std::string> lines) {
  if (lines == sql_) return;
  Disconnect();
  sql_ = std::move(lines);
  textChanged();
}

void TVELDORQuery::SetSQL(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (text.empty()) lines.clear();
  SetSQL(std::move(lines));
}

void TVELDORQuery::textChanged() {
  const std::string raw = joinLines(sql_);
  if (!ParamCheck) {
    text_ = raw;
    return;
  }
  std::vector<std::string> names;
  text_ = ParseSQLParams(raw, names);
  ds::Params fresh;
  // One parameter per reference, as the driver takes one value per "?".
  for (const std::string& name : names) {
    ds::Param& p = fresh.CreateParam(ds::ftUnknown, name, ds::ptUnknown);
    if (const ds::Param* old = params_.FindParam(name)) p.Assign(*old);
  }
  params_.Clear();
  params_.Assign(fresh);
  DataEventNotify(ds::dePropertyChange);
}

void TVELDORQuery::SetRequestLive(bool value) {
  if (value == requestLive_) return;
  Close();
  SetPrepared(false);
  requestLive_ = value;
}

void TVELDORQuery::SetMaxRowCount(int32_t value) {
  maxRowCount_ = value;
  if (driver_) driver_->MaxRowCount = value;
}

void TVELDORQuery::SetReadOnly(bool value) {
  if (Active()) DatabaseError(SDataSetOpen);
  readOnly_ = value;
}

void TVELDORQuery::SetParams(const ds::Params& params) {
  params_.AssignValues(params);
}

void TVELDORQuery::SetDataSource(ds::DataSource* source) {
  if (source && IsLinkedTo(source)) DatabaseError(SCircularDataLink);
  link_.SetDataSource(source);
}

bool TVELDORQuery::GetCanModify() {
  return !readOnly_ && TVELDORDBDataSet::GetCanModify();
}

void TVELDORQuery::SetPrepared(bool value) {
  if (Handle()) DatabaseError(SDataSetOpen);
  if (value == Prepared()) return;
  if (!value) {
    {
      TSessionLock lock(LockSession());
      driver_.reset();
    }
    SetDBFlag(kFlagPrepared, false);
    return;
  }
  if (text_.size() < 2) DatabaseError(SNoSQLStatement);
  SetDBFlag(kFlagPrepared, true);
  ScopeExit release([&] {
    if (!driver_) SetDBFlag(kFlagPrepared, false);
  });
  TSessionLock lock(LockSession());
  auto driver = std::make_unique<sql::TQueryStatement>(*Database()->Handle());
  driver->RequestLive = requestLive_;
  driver->MaxRowCount = maxRowCount_;
  TVELDORSession* session = &Database()->Session();
  driver->SetPasswordCallback([session](TDataCursor&) { return session->PasswordRequest(); });
  driver->Prepare(text_);
  driver_ = std::move(driver);
}

void TVELDORQuery::Disconnect() {
  Close();
  SetPrepared(false);
}

void TVELDORQuery::masterValues() {
  ds::DataSet* master = link_.GetDataSet();
  if (!master || !master->Active()) return;
  for (int i = 0; i < params_.Count(); ++i) {
    ds::Param& p = params_[i];
    if (p.Bound) continue;
    if (ds::Field* f = master->FindField(p.Name)) {
      p.AssignField(*f);
      p.Bound = false;
    }
  }
}

TDataCursor* TVELDORQuery::run(bool withResult) {
  if (sql_.empty()) DatabaseError(SNoSQLStatement);
  SetPrepared(true);
  masterValues();
  TQueryParamBlock block;
  PackQueryParams(params_, block);
  const DriverValues values = driverValues(block);
  TSessionLock lock(LockSession());
  if (OnQueryProgress) {
    driver_->SetProgressCallback(
        [this](int percent, bool& abort) { OnQueryProgress(*this, uint16_t(percent), abort); });
  } else {
    driver_->SetProgressCallback(nullptr);
  }
  if (!block.descriptors.empty())
    driver_->SetParams(uint16_t(block.descriptors.size()), block.descriptors, values.buffer, values.offsets);
  TDataCursor* result = driver_->Execute();
  rowsAffected_ = driver_->RowsAffected;
  elapsedSeconds_ = driver_->ElapsedSeconds;
  return withResult ? result : nullptr;
}

void TVELDORQuery::ExecSQL() {
  if (Active()) DatabaseError(SDataSetOpen);
  SetDBFlag(kFlagExec, true);
  ScopeExit release([&] { SetDBFlag(kFlagExec, false); });
  run(false);
}

std::unique_ptr<TDataCursor> TVELDORQuery::CreateCursor(bool) {
  TDataCursor* result = run(true);
  if (result && !result->Active()) result->Open();
  // The driver keeps the cursor; DestroyCursor gives it back instead of freeing it.
  return std::unique_ptr<TDataCursor>(result);
}

void TVELDORQuery::DestroyCursor() {
  cursor_.release();
}

void TVELDORQuery::refresh() {
  DisableControls();
  ScopeExit enable([&] { EnableControls(); });
  Close();
  ds::DataSet* master = link_.GetDataSet();
  if (master && master->Active() && master->State() != ds::dsSetKey) Open();
}

void TVELDORQuery::Link::ActiveChanged() {
  if (query_.Active()) query_.refresh();
}

void TVELDORQuery::Link::RecordChanged(ds::Field* field) {
  if (!field && query_.Active()) query_.refresh();
}

void TVELDORQuery::Link::CheckBrowseMode() {
  if (query_.Active()) query_.CheckBrowseMode();
}

}  // namespace engine::components
