// The OCI record set: describe, block fetch through the flat fetch buffer, background fetch-all.
#include <algorithm>
#include <cstring>

#include "oracle/oraclasses.h"
#include "platform/bytes.h"
#include "platform/scopeguard.h"

namespace oracle {

using dataaccess::TFieldDesc;

namespace {

constexpr size_t kAreaAlignment = 8;

size_t aligned(size_t offset) {
  return (offset + kAreaAlignment - 1) / kAreaAlignment * kAreaAlignment;
}

}  // namespace

TOCIRecordSet::TOCIRecordSet() {
  CreateCommand();
}

TOCIRecordSet::~TOCIRecordSet() {
  // The base destructor closes through its own slots only; the worker and the statement are
  // this class's to end.
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor cannot report; the worker is joined and the handles go with the command.
  }
  stopBackgroundFetch();
}

void TOCIRecordSet::CreateCommand() {
  auto command = std::make_unique<TOCICommand>();
  // A connection that goes away first ends the background fetch, which runs on it.
  command->beforeConnectionGone_ = [this] { stopBackgroundFetch(); };
  SetCommand(std::move(command));
}

void TOCIRecordSet::SetConnection(dataaccess::TQvConnection* value) {
  TQvRecordSet::SetConnection(value);
}

TOraParamDesc* TOCIRecordSet::refCursorParam() const {
  TOCICommand& command = Command();
  for (int i = 0; i < command.GetParamCount(); ++i)
    if (command.Param(i).GetDataType() == dtCursor) return &command.Param(i);
  return nullptr;
}

void TOCIRecordSet::findCommandType() {
  const uint16_t type = Command().SQLType();
  if (type == 0)
    SetCommandType(dataaccess::ctUnknown);
  else if (type == 4 || !Command().OwnCursor() || (type == 34 && refCursorParam() != nullptr))
    SetCommandType(dataaccess::ctCursor);
  else
    SetCommandType(dataaccess::ctStatement);
}

void TOCIRecordSet::attachRefCursor() {
  TOCICommand& command = Command();
  TOraParamDesc* param = refCursorParam();
  if (!command.OwnCursor() || command.SQLType() != 34 || param == nullptr) return;
  TOraCursor& cursor = param->GetAsCursor();
  cursor.State = 6;
  command.SetCursor(&cursor);
}

void TOCIRecordSet::detachRefCursor() {
  TOCICommand& command = Command();
  if (command.OwnCursor()) return;
  command.GetCursor()->State = 0;
  command.SetCursor(nullptr);
}

void TOCIRecordSet::InternalPrepare() {
  Command().Prepare();
  findCommandType();
}

void TOCIRecordSet::InternalUnprepare() {
  stopBackgroundFetch();
  detachRefCursor();
  Command().Unprepare();
  flat_.clear();
  defined_ = false;
  SetCommandType(dataaccess::ctUnknown);
}

void TOCIRecordSet::InternalOpen() {
  TQvRecordSet::InternalOpen();
}

void TOCIRecordSet::InternalClose() {
  stopBackgroundFetch();
  detachRefCursor();
  TOCICommand& command = Command();
  if (command.GetCursorState() > 3) command.SetCursorState(3);
  flat_.clear();
  defined_ = false;
  if (!Prepared()) InternalUnprepare();
}

void TOCIRecordSet::InternalInitFields() {
  TOCICommand& command = Command();
  const bool wasOpen = command.GetCursorState() != 0;
  if (!wasOpen) command.Prepare();
  platform::ScopeExit closeAgain([&command, wasOpen] {
    if (!wasOpen && command.OwnCursor()) command.Unprepare();
  });
  if (command.SQLType() == 4 && command.GetCursorState() < 6) command.DescribeOnly();
  if (command.OwnCursor() && command.SQLType() == 34 && refCursorParam() != nullptr) {
    // The rows are the REF CURSOR's, which only running the block opens.
    ExecCommand();
    attachRefCursor();
  }
  columns_.clear();
  flat_.clear();
  defined_ = false;
  for (int position = 1;; ++position) {
    auto field = std::make_unique<TFieldDesc>();
    if (!command.DescribeField(position, *field, LongStrings(), FlatBuffers())) break;
    Column column{field->DataType,
                  field->SubDataType,
                  field->Length,
                  field->Size,
                  uint16_t(position),
                  field->Fixed,
                  field->Name,
                  uint32_t(TOCICommand::FieldBufferLength(*field)),
                  0,
                  0};
    switch (field->DataType) {
      case dataaccess::dtString:
      case dataaccess::dtInteger:
      case dataaccess::dtInt64:
      case dataaccess::dtFloat:
      case dataaccess::dtVarBytes:
        break;
      case dataaccess::dtDateTime:
        field->Size = sizeof(double);  // the record keeps days, the fetch the 7-byte DATE
        break;
      case dataaccess::dtExtString:
      case dataaccess::dtExtVarBytes:
        field->Size = sizeof(void*);
        break;
      case dtOraBlob:
      case dtOraClob:
        break;
      case dataaccess::dtMemo:
        // A long VARCHAR2 arrives whole as text and is kept as the record's blob; a LONG column
        // (sub-type 0) would need the piecewise fetch.
        if (field->SubDataType != 1) RaiseError("Data type is not supported.");
        field->Size = sizeof(void*);
        break;
      default:
        RaiseError("Data type is not supported.");
    }
    field->FieldNo = uint16_t(position);
    columns_.push_back(std::move(column));
    Fields.Add(std::move(field));
  }
}

void TOCIRecordSet::ExecCommand() {
  TOCICommand& command = Command();
  // The record set runs the statement on the calling thread even for a non-blocking command: the
  // rows that follow need it executed, and a fetch-all goes to the worker afterwards.
  command.iters_ = 1;
  command.SetExecuting(true);
  try {
    command.doExecute();
  } catch (...) {
    command.endExecute(std::current_exception());
    throw;
  }
  command.endExecute(nullptr);
  findCommandType();
}

void TOCIRecordSet::ExecFetch() {
  TOCICommand& command = Command();
  // A query keeps its statement while open; the close unprepares it unless the store is prepared.
  if (!command.GetPrepared()) command.Prepare();
  findCommandType();
  const bool wasQuery = CommandType() == dataaccess::ctCursor && Fields.Count() != 0;
  if (command.OwnCursor()) ExecCommand();
  attachRefCursor();
  if (CommandType() != dataaccess::ctCursor) RaiseError("SQL statement doesn't return rows");
  if (!wasQuery) InitFields();
  defined_ = false;
  if (GetFetchAll() && command.GetNonBlocking()) {
    // The first block is there when Open returns; the rest arrives in the background.
    if (Fetch(false)) FetchAll();
  } else if (GetFetchAll()) {
    FetchAll();
  } else {
    Fetch(false);
  }
}

void TOCIRecordSet::allocFetchBuffer() {
  const size_t rows = size_t(FetchRows());
  size_t offset = 0;
  for (Column& column : columns_) {
    column.valueOffset = offset;
    offset = aligned(offset + rows * column.bufferLength);
    column.indicatorOffset = offset;
    offset = aligned(offset + rows * sizeof(int16_t));
  }
  flat_.assign(std::max<size_t>(offset, 1), 0);
  defined_ = false;
}

void TOCIRecordSet::defineColumns() {
  TOCICommand& command = Command();
  for (const Column& column : columns_) {
    TFieldDesc field;
    field.Name = column.name;
    field.DataType = column.dataType;
    field.SubDataType = column.subType;
    field.Length = column.length;
    field.Size = column.size;
    field.FieldNo = column.fieldNo;
    command.DefineArrayField(field, flat_.data() + column.valueOffset,
                             reinterpret_cast<int16_t*>(flat_.data() + column.indicatorOffset), nullptr,
                             column.bufferLength);
  }
  defined_ = true;
}

std::vector<TOraLob*> TOCIRecordSet::prepareLobs() {
  std::vector<TOraLob*> lobs;
  platform::UndoOnFailure release([this, &lobs] { releaseLobs(lobs); });
  void* svcCtx = Command().conn().GetSvcCtx();
  for (const Column& column : columns_) {
    if (column.dataType != dtOraBlob && column.dataType != dtOraClob) continue;
    for (int row = 0; row < FetchRows(); ++row) {
      lobs.push_back(new TOraLob(svcCtx));
      lobs.back()->AllocLob();
      void* locator = lobs.back()->Locator();
      std::memcpy(flat_.data() + column.valueOffset + size_t(row) * column.bufferLength, &locator,
                  sizeof locator);
    }
  }
  return lobs;
}

void TOCIRecordSet::releaseLobs(std::vector<TOraLob*>& lobs) {
  for (TOraLob* lob : lobs)
    if (lob != nullptr) lob->Release();
  lobs.clear();
}

void TOCIRecordSet::finishLobs(std::vector<TOraLob*>& lobs, int received) {
  platform::UndoOnFailure release([this, &lobs] { releaseLobs(lobs); });
  const bool readNow = Command().cacheLobs_ && !deferredLobRead_;
  size_t k = 0;
  for (const Column& column : columns_) {
    if (column.dataType != dtOraBlob && column.dataType != dtOraClob) continue;
    for (int row = 0; row < FetchRows(); ++row, ++k) {
      int16_t indicator;
      std::memcpy(&indicator, flat_.data() + column.indicatorOffset + size_t(row) * 2, 2);
      if (row >= received) {
        lobs[k]->Release();
        lobs[k] = nullptr;
      } else if (indicator != -1) {
        lobs[k]->NeedsReading = true;
        if (readNow) lobs[k]->ReadLob();
      }
    }
  }
}

int TOCIRecordSet::fetchLobBlock(uint16_t orientation, int32_t offset, int rows, std::vector<TOraLob*>& lobs,
                                 std::string& truncatedColumn) {
  if (flat_.empty()) allocFetchBuffer();
  if (!defined_) defineColumns();
  lobs = prepareLobs();
  platform::UndoOnFailure release([this, &lobs] { releaseLobs(lobs); });
  const int received = Command().FetchAt(uint32_t(rows), orientation, offset, &truncatedColumn);
  finishLobs(lobs, received);
  return received;
}

void TOCIRecordSet::addRows(const std::vector<uint8_t>& buffer, int rows, int firstRow,
                            const std::vector<TOraLob*>& lobs) {
  std::vector<uint8_t> record(RecordSize);
  const int countBefore = RecordCount;
  StartBlock(false, rows);
  platform::ScopeExit number([this, firstRow, countBefore] {
    if (firstRow < 1) return;
    int order = firstRow;
    for (dataaccess::TItemHeader* item = FirstItem; item != nullptr; item = item->Next) item->Order = order++;
    RecordCount = std::max(countBefore, order - 1);
  });
  for (int row = 0; row < rows; ++row) {
    std::fill(record.begin(), record.end(), 0);
    size_t lobColumn = 0;
    for (size_t c = 0; c < columns_.size(); ++c) {
      const Column& column = columns_[c];
      const TFieldDesc& field = Fields[int(c)];
      int16_t indicator;
      std::memcpy(&indicator, buffer.data() + column.indicatorOffset + size_t(row) * 2, 2);
      if (column.dataType == dtOraBlob || column.dataType == dtOraClob) {
        // The record takes the object over; a null value keeps its (empty) object too.
        SetSlotPointer(field, record.data(), lobs[lobColumn++ * size_t(FetchRows()) + size_t(row)]);
        if (indicator == -1) SetNull(int(c) + 1, record.data(), true);
        continue;
      }
      const uint8_t* value = buffer.data() + column.valueOffset + size_t(row) * column.bufferLength;
      if (column.dataType == dataaccess::dtMemo) {
        auto* blob = new dataaccess::TBlob(false);
        SetSlotPointer(field, record.data(), blob);
        if (indicator == -1)
          SetNull(int(c) + 1, record.data(), true);
        else
          blob->Write(0, strnlen(reinterpret_cast<const char*>(value), column.bufferLength), value);
        continue;
      }
      if (indicator == -1) {
        SetNull(int(c) + 1, record.data(), true);
        continue;
      }
      uint8_t* slot = Slot(field, record.data());
      const bool trim = column.fixed && TrimFixedChar;
      switch (column.dataType) {
        case dataaccess::dtString:
          std::memcpy(slot, value, column.bufferLength);
          if (trim) {
            char* text = reinterpret_cast<char*>(slot);
            size_t n = strnlen(text, column.bufferLength);
            while (n > 0 && text[n - 1] == ' ') text[--n] = 0;
          }
          break;
        case dataaccess::dtDateTime:
          platform::putValue(slot, OraDateToDateTime(value).days);
          break;
        case dataaccess::dtExtString: {
          std::string text(reinterpret_cast<const char*>(value),
                           strnlen(reinterpret_cast<const char*>(value), column.bufferLength));
          SetSlotPointer(field, record.data(), StringHeap.AllocStr(text.c_str(), trim));
          break;
        }
        case dataaccess::dtExtVarBytes: {
          uint16_t length;
          std::memcpy(&length, value, 2);
          char* copy = StringHeap.NewBuf(size_t(length) + 2);
          std::memcpy(copy, value, size_t(length) + 2);
          SetSlotPointer(field, record.data(), copy);
          break;
        }
        default:
          std::memcpy(slot, value, field.Size);
      }
    }
    AddFetchedRecord(record.data());
  }
}

bool TOCIRecordSet::CanFetchBack() const {
  return Command().GetCursor()->Scrollable;
}

bool TOCIRecordSet::Fetch(bool fetchBack) {
  if (FetchingInBackground()) return takeBackgroundBlock();
  if (CanFetchBack()) {
    if (!fetchBack) return fetchFrom(lastRowHeld() + 1, FetchRows());
    const int rows = std::min(FetchRows(), rowsBeforeHeld());
    return rows > 0 && fetchFrom(rowsBeforeHeld() - rows + 1, rows);
  }
  const int state = Command().GetCursorState();
  if (fetchBack || state < 4 || state >= 9) return false;
  return fetchBlockAt(OCI_FETCH_NEXT, 0, FetchRows(), 0);
}

bool TOCIRecordSet::fetchFrom(int firstRow, int rows) {
  if (Command().GetCursorState() < 4) return false;
  return fetchBlockAt(OCI_FETCH_ABSOLUTE, firstRow, rows, firstRow);
}

bool TOCIRecordSet::fetchBlockAt(uint16_t orientation, int32_t offset, int rows, int firstRow) {
  TOCICommand& command = Command();
  bool cancel = false;
  FetchBlockEvent(true, cancel);
  if (cancel) {
    command.SetCursorState(7);
    return false;
  }
  std::vector<TOraLob*> lobs;
  std::string truncated;
  const int received = fetchLobBlock(orientation, offset, rows, lobs, truncated);
  if (received > 0) addRows(flat_, received, firstRow, lobs);
  // The block is kept whole (cut values as they came) before the cut is reported, so that no row
  // goes missing and the next fetch goes on after this block.
  if (!truncated.empty()) RaiseError("The value of column " + truncated + " was truncated");
  FetchBlockEvent(false, cancel);
  if (command.GetCursorState() == 9 && autoClose_) InternalUnprepare();
  return received > 0;
}

void TOCIRecordSet::SetToBegin() {
  const bool refetch = CanFetchBack() && FirstItem != nullptr && Command().GetCursorState() >= 4;
  if (refetch) DropItems();
  TQvRecordSet::SetToBegin();
  if (refetch) eof_ = false;  // the rows are still to come, not absent
}

void TOCIRecordSet::SetToBookmark(const dataaccess::TRecBookmark& bookmark) {
  const int target = bookmark.Order;
  if (!CanFetchBack() || target < 1 || Command().GetCursorState() < 4 ||
      (bookmark.Item != nullptr && BlockMan.IsLiveItem(bookmark.Item, bookmark.Serial))) {
    TQvRecordSet::SetToBookmark(bookmark);
    return;
  }
  if (target <= rowsBeforeHeld() && target > rowsBeforeHeld() - FetchRows())
    Fetch(true);
  else if (target > lastRowHeld() && target <= lastRowHeld() + FetchRows())
    Fetch(false);
  else
    fetchFrom(target, FetchRows());
  dataaccess::TItemHeader* item = FirstItem;
  while (item != nullptr && item->Order != target) item = item->Next;
  if (item == nullptr) {
    SetCurrentItem(nullptr);
    return;
  }
  SetCurrentItem(item);
  bof_ = eof_ = false;
}

void TOCIRecordSet::FetchAll() {
  TOCICommand& command = Command();
  const int state = command.GetCursorState();
  if (CommandType() != dataaccess::ctCursor || state < 4 || state >= 8) return;
  if (!command.GetNonBlocking()) {
    while (Fetch(false)) {
    }
    return;
  }
  if (!command.conn().GetThreadSafety()) RaiseError(SNeedThreadSafety);
  if (flat_.empty()) allocFetchBuffer();
  if (!defined_) defineColumns();
  {
    std::lock_guard<std::mutex> lock(pendingLock_);
    pending_.clear();
    backgroundDone_ = false;
    backgroundError_ = nullptr;
  }
  stopRequested_ = false;
  command.SetCursorState(8);
  command.SetExecuting(true);
  fetchThread_ = std::jthread([this] { backgroundFetch(); });
}

void TOCIRecordSet::backgroundFetch() {
  std::exception_ptr error;
  try {
    TOCICommand& command = Command();
    while (!stopRequested_) {
      std::vector<TOraLob*> lobs;
      std::string truncated;
      const int rows = fetchLobBlock(OCI_FETCH_NEXT, 0, FetchRows(), lobs, truncated);
      if (rows > 0) {
        std::lock_guard<std::mutex> lock(pendingLock_);
        pending_.push_back({flat_, rows, std::move(lobs)});
      }
      pendingChanged_.notify_all();
      if (!truncated.empty()) RaiseError("The value of column " + truncated + " was truncated");
      if (rows < FetchRows() || command.GetCursorState() == 9) break;
    }
  } catch (...) {
    error = std::current_exception();
  }
  DoAfterFetchAll(error == nullptr);
  {
    std::lock_guard<std::mutex> lock(pendingLock_);
    backgroundDone_ = true;
    backgroundError_ = error;
  }
  pendingChanged_.notify_all();
}

bool TOCIRecordSet::takeBackgroundBlock() {
  std::unique_lock<std::mutex> lock(pendingLock_);
  pendingChanged_.wait(lock, [this] { return !pending_.empty() || backgroundDone_; });
  if (!pending_.empty()) {
    const PendingBlock block = std::move(pending_.front());
    pending_.pop_front();
    lock.unlock();
    addRows(block.buffer, block.rows, 0, block.lobs);
    return true;
  }
  std::exception_ptr error = std::move(backgroundError_);
  backgroundError_ = nullptr;
  lock.unlock();
  fetchThread_.join();
  TOCICommand& command = Command();
  command.SetExecuting(false);
  // A fetch that failed or was stopped must not leave the cursor "fetching": nothing would end it.
  if (command.GetCursorState() == 8) command.SetCursorState(7);
  if (error) std::rethrow_exception(error);
  if (command.GetCursorState() == 9 && autoClose_) InternalUnprepare();
  return false;
}

void TOCIRecordSet::stopBackgroundFetch() {
  if (!fetchThread_.joinable()) return;
  stopRequested_ = true;
  bool done;
  {
    std::lock_guard<std::mutex> lock(pendingLock_);
    done = backgroundDone_;
  }
  if (!done) {
    try {
      Command().BreakExec();
    } catch (const std::exception&) {
      // The worker stops after its current block anyway; the join below waits for it.
    }
  }
  fetchThread_.join();
  std::lock_guard<std::mutex> lock(pendingLock_);
  for (PendingBlock& block : pending_) releaseLobs(block.lobs);
  pending_.clear();
  backgroundError_ = nullptr;
  TOCICommand& command = Command();
  command.SetExecuting(false);
  if (command.GetCursorState() == 8) command.SetCursorState(7);
}

void TOCIRecordSet::SetToEnd() {
  const int state = Command().GetCursorState();
  if (CanFetchBack() && state >= 4) {
    std::vector<TOraLob*> lobs;
    std::string truncated;
    if (fetchLobBlock(OCI_FETCH_LAST, 0, 1, lobs, truncated) > 0)
      addRows(flat_, 1, Command().FetchedRows(), lobs);
    if (!truncated.empty()) RaiseError("The value of column " + truncated + " was truncated");
  } else if (FetchingInBackground() || (state >= 4 && state < 9)) {
    while (Fetch(false)) {
    }
  }
  TQvRecordSet::SetToEnd();
}

void TOCIRecordSet::InitFields() {
  TQvRecordSet::InitFields();
  for (int i = 0; i < Fields.Count(); ++i)
    if (Fields[i].DataType == dtOraBlob || Fields[i].DataType == dtOraClob) HasComplexFields = true;
}

void TOCIRecordSet::FreeComplexFields(uint8_t* recBuf, bool withBlobs) {
  for (int i = 0; i < Fields.Count() && withBlobs; ++i) {
    const TFieldDesc& field = Fields[i];
    if (field.HasParent() || (field.DataType != dtOraBlob && field.DataType != dtOraClob)) continue;
    if (TOraLob* lob = SlotPointer<TOraLob>(field, recBuf)) lob->Release();
    SetSlotPointer<TOraLob>(field, recBuf, nullptr);
  }
  TQvRecordSet::FreeComplexFields(recBuf, withBlobs);
}

void TOCIRecordSet::AddRefComplexFields(uint8_t* recBuf) {
  for (int i = 0; i < Fields.Count(); ++i) {
    const TFieldDesc& field = Fields[i];
    if (field.HasParent() || (field.DataType != dtOraBlob && field.DataType != dtOraClob)) continue;
    if (TOraLob* lob = SlotPointer<TOraLob>(field, recBuf)) lob->AddRef();
  }
  TQvRecordSet::AddRefComplexFields(recBuf);
}

Variant TOCIRecordSet::GetFieldAsVariant(int fieldNo, const uint8_t* recBuf) {
  const TFieldDesc& field = FieldOf(fieldNo);
  if (field.HasParent() || (field.DataType != dtOraBlob && field.DataType != dtOraClob))
    return TQvRecordSet::GetFieldAsVariant(fieldNo, recBuf);
  if (GetNull(fieldNo, recBuf)) return Variant::null();
  TOraLob* lob = SlotPointer<TOraLob>(field, recBuf);
  lob->CheckValue();
  if (field.DataType == dtOraClob) return Variant(lob->AsString());
  std::vector<uint8_t> bytes(lob->GetSize());
  lob->Read(0, bytes.size(), bytes.data());
  return Variant::bytes(std::move(bytes));
}

bool TOCIRecordSet::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case dataaccess::prFetchRows:
      stopBackgroundFetch();
      flat_.clear();
      defined_ = false;
      return TQvRecordSet::SetProp(prop, value);
    case prAutoClose:
      autoClose_ = value.asBool();
      return true;
    case prDeferredLobRead:
      deferredLobRead_ = value.asBool();
      return true;
    default:
      return TQvRecordSet::SetProp(prop, value);
  }
}

bool TOCIRecordSet::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prAutoClose:
      value = autoClose_;
      return true;
    case prDeferredLobRead:
      value = deferredLobRead_;
      return true;
    default:
      return TQvRecordSet::GetProp(prop, value);
  }
}

}  // namespace oracle
