// The OCI record set: describe, block fetch through the flat fetch buffer, background fetch-all.
#include <algorithm>
#include <cstring>

#include "oracle/oraclasses.h"
#include "oracle/oraobjects.h"
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
  if (command.GetCursorState() != 0 && command.GetCursorState() != 9) command.Close();
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

void TOCIRecordSet::Reopen() {
  TOCICommand& command = Command();
  if (command.GetCursorState() == 0) {
    Close();
    Open();
    return;
  }
  if (command.OwnCursor()) {
    // The statement runs again over the fields as they are; the rows held go.
    stopBackgroundFetch();
    FreeData();
    InitData();
    if (command.GetCursorState() > 3) command.SetCursorState(3);
    defined_ = false;
    InternalOpen();
    return;
  }
  if (command.SQLType() == 0) RaiseError(SReopenNotAllowed);
  Close();
  Open();
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
    Column column;
    column.dataType = field->DataType;
    column.subType = field->SubDataType;
    column.length = field->Length;
    column.size = field->Size;
    column.fieldNo = uint16_t(position);
    column.fixed = field->Fixed;
    column.name = field->Name;
    column.bufferLength = uint32_t(TOCICommand::FieldBufferLength(*field));
    switch (field->DataType) {
      case dataaccess::dtString:
      case dataaccess::dtWideString:
      case dataaccess::dtInteger:
      case dataaccess::dtInt64:
      case dataaccess::dtFloat:
      case dataaccess::dtVarBytes:
        break;
      case dataaccess::dtDateTime:
        field->Size = sizeof(double);  // the record keeps days, the fetch the 7-byte DATE
        break;
      case dataaccess::dtExtString:
      case dataaccess::dtExtWideString:
      case dataaccess::dtExtVarBytes:
        field->Size = sizeof(void*);
        break;
      case dataaccess::dtMemo:
      case dataaccess::dtBlob:
        // A long VARCHAR2 arrives whole as text; a LONG or LONG RAW column piece by piece into
        // the row's blob. Either way the record holds the blob.
        field->Size = sizeof(void*);
        if (field->DataType == dataaccess::dtBlob || (field->SubDataType != 1 && field->SubDataType != 25)) {
          column.kind = ColumnKind::Long;
          column.unicode = false;
        }
        break;
      case dtOraBlob:
      case dtOraClob:
        column.kind = ColumnKind::Lob;
        field->Size = sizeof(void*);
        break;
      case dtBFile:
      case dtCFile:
        column.kind = ColumnKind::File;
        field->Size = sizeof(void*);
        break;
      case dtCursor:
        column.kind = ColumnKind::Cursor;
        field->Size = sizeof(void*);
        break;
      case dtTimeStamp:
      case dtTimeStampTZ:
      case dtTimeStampLTZ:
        column.kind = ColumnKind::TimeStamp;
        field->Size = sizeof(void*);
        break;
      case dtIntervalYM:
      case dtIntervalDS:
        column.kind = ColumnKind::Interval;
        field->Size = sizeof(void*);
        break;
      case dtNumber:
        column.kind = ColumnKind::Number;
        field->Size = sizeof(void*);
        break;
      case dataaccess::dtObject:
      case dataaccess::dtReference:
      case dataaccess::dtArray:
      case dataaccess::dtTable:
      case dtXML:
        column.kind = ColumnKind::Object;
        column.objectType = field->ObjectType();
        column.bufferLength = sizeof(void*);
        field->Size = sizeof(void*);
        break;
      default:
        RaiseError("Data type is not supported.");
    }
    // Field numbers count the child fields of the object columns before it as well.
    field->FieldNo = uint16_t(Fields.Count() + 1);
    column.fieldIndex = Fields.Count();
    columns_.push_back(std::move(column));
    if (field->ActualName.empty()) field->ActualName = field->Name;
    TFieldDesc& added = Fields.Add(std::move(field));
    if ((added.DataType == dataaccess::dtObject || added.DataType == dataaccess::dtArray) &&
        added.ObjectType())
      InitObjectFields(added.ObjectType(), &added);
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
  flat_.clear();
  // The Lite client fetches one row at a time, its LONG values piece by piece.
  oneRow_ = OCILite && !CanFetchBack();
  // The old call style reads LONG columns piece by piece only, one row at a time; a long text
  // kept as a memo (it has a length) comes whole in blocks.
  if (command.GetOCICallStyle() == OCI73)
    for (int i = 0; i < Fields.Count() && !oneRow_; ++i)
      oneRow_ = (Fields[i].DataType == dataaccess::dtMemo || Fields[i].DataType == dataaccess::dtBlob) &&
                Fields[i].Length == 0;
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
  const size_t rows = size_t(blockRows());
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
  for (Column& column : columns_) {
    TFieldDesc field;
    field.Name = column.name;
    field.DataType = column.dataType;
    field.SubDataType = column.subType;
    field.Length = column.length;
    field.Size = column.size;
    field.FieldNo = column.fieldNo;
    if (column.kind == ColumnKind::Long && oneRow_) {
      // The old call style names the column by the context given here when it hands a piece.
      uint8_t* context = command.GetOCICallStyle() == OCI73 ? reinterpret_cast<uint8_t*>(&column) : nullptr;
      command.DefinePiecewise(field, context,
                              reinterpret_cast<int16_t*>(flat_.data() + column.indicatorOffset));
      column.define = field.Handle;
      continue;
    }
    if (column.kind == ColumnKind::Object) {
      column.objectIndicators.assign(size_t(blockRows()), nullptr);
      auto* type = static_cast<TOraType*>(column.objectType);
      command.DefineObjectField(field, type->TDO(),
                                reinterpret_cast<void**>(flat_.data() + column.valueOffset),
                                column.objectIndicators.data());
      continue;
    }
    if (column.kind == ColumnKind::Long) {
      const uint16_t charsetId = column.unicode ? 1000 : command.conn().GetCharsetId();
      command.DefineDynamic(field, this, reinterpret_cast<void*>(&TOCIRecordSet::defineCallback), charsetId);
      column.define = field.Handle;
      continue;
    }
    command.DefineArrayField(field, flat_.data() + column.valueOffset,
                             reinterpret_cast<int16_t*>(flat_.data() + column.indicatorOffset), nullptr,
                             column.bufferLength);
  }
  defined_ = true;
}

std::vector<dataaccess::TSharedObject*> TOCIRecordSet::prepareObjects() {
  std::vector<dataaccess::TSharedObject*> objects;
  platform::UndoOnFailure release([this, &objects] { releaseObjects(objects); });
  TOCICommand& command = Command();
  // Only LOB and file columns need the service context, and the old call style has none.
  void* svcCtx = command.GetOCICallStyle() == OCI73 ? nullptr : command.conn().GetSvcCtx();
  for (Column& column : columns_) {
    if (column.kind == ColumnKind::Plain) continue;
    for (int row = 0; row < blockRows(); ++row) {
      uint8_t* slot = flat_.data() + column.valueOffset + size_t(row) * column.bufferLength;
      void* handle = nullptr;
      switch (column.kind) {
        case ColumnKind::Lob: {
          auto* lob = new TOraLob(svcCtx, column.dataType == dtOraClob && column.unicode);
          objects.push_back(lob);
          lob->SetTextCharset(command.conn());
          handle = *lob->LocatorPtr();
          break;
        }
        case ColumnKind::File: {
          auto* file = new TOraFile(svcCtx);
          objects.push_back(file);
          handle = *file->LocatorPtr();
          break;
        }
        case ColumnKind::TimeStamp: {
          auto* value = new TOraTimeStamp(column.dataType);
          objects.push_back(value);
          handle = value->OCIDateTime();
          break;
        }
        case ColumnKind::Interval: {
          auto* value = new TOraInterval(column.dataType);
          objects.push_back(value);
          handle = value->OCIInterval();
          break;
        }
        case ColumnKind::Cursor: {
          auto* cursor = new TOraCursor();
          objects.push_back(cursor);
          cursor->SetOCICallStyle(OCI80);
          cursor->hEnv = command.conn().GetEnvironment();
          cursor->hError = command.conn().GetErrorHandle();
          handle = command.statementOf(*cursor);
          break;
        }
        case ColumnKind::Number:
          objects.push_back(new TOraNumber());
          continue;  // the value arrives in the slot and is copied afterwards
        case ColumnKind::Long:
          // The pieces arrive through the define callback.
          objects.push_back(new dataaccess::TBlob(column.unicode));
          continue;
        case ColumnKind::Object: {
          // The library makes each row's instance; the slot must not name the last block's.
          auto* type = static_cast<TOraType*>(column.objectType);
          TOraObject* object = column.dataType == dataaccess::dtReference ? new TOraRef(type)
                               : column.dataType == dataaccess::dtArray   ? new TOraArray(type)
                               : column.dataType == dataaccess::dtTable   ? new TOraNestTable(type)
                               : column.dataType == dtXML                 ? new TOraXML(type)
                                                                          : new TOraObject(type);
          objects.push_back(object);
          object->SetSvcCtx(svcCtx);
          object->SetTextEncoding(command.conn().NarrowTextEncoding());
          column.objectIndicators[size_t(row)] = nullptr;
          break;
        }
        case ColumnKind::Plain:
          break;
      }
      std::memcpy(slot, &handle, sizeof handle);
    }
  }
  return objects;
}

void TOCIRecordSet::releaseObjects(std::vector<dataaccess::TSharedObject*>& objects) {
  for (dataaccess::TSharedObject* object : objects)
    if (object != nullptr) object->Release();
  objects.clear();
}

void TOCIRecordSet::finishObjects(std::vector<dataaccess::TSharedObject*>& objects, int received) {
  platform::UndoOnFailure release([this, &objects] { releaseObjects(objects); });
  const bool readNow = Command().cacheLobs_ && !deferredLobRead_;
  size_t k = 0;
  for (const Column& column : columns_) {
    if (column.kind == ColumnKind::Plain) continue;
    for (int row = 0; row < blockRows(); ++row, ++k) {
      if (row >= received) {
        objects[k]->Release();
        objects[k] = nullptr;
        continue;
      }
      int16_t indicator;
      std::memcpy(&indicator, flat_.data() + column.indicatorOffset + size_t(row) * 2, 2);
      const bool null = indicator == -1;
      const uint8_t* slot = flat_.data() + column.valueOffset + size_t(row) * column.bufferLength;
      switch (column.kind) {
        case ColumnKind::Lob: {
          auto* lob = static_cast<TOraLob*>(objects[k]);
          if (null) break;
          lob->NeedsReading = true;
          if (readNow) lob->ReadLob();
          break;
        }
        case ColumnKind::File: {
          auto* file = static_cast<TOraFile*>(objects[k]);
          if (null) break;
          file->NeedsReading = true;
          if (readNow && file->Exists()) {
            file->Open();
            platform::ScopeExit close([file] { file->Close(); });
            file->ReadLob();
          }
          break;
        }
        case ColumnKind::TimeStamp:
        case ColumnKind::Interval:
          static_cast<DescriptorValue*>(objects[k])->SetIsNull(null);
          break;
        case ColumnKind::Number: {
          auto* number = static_cast<TOraNumber*>(objects[k]);
          std::memcpy(number->OCINumberPtr(), slot, 22);
          number->SetIsNull(null);
          break;
        }
        case ColumnKind::Cursor:
          static_cast<TOraCursor*>(objects[k])->State = null ? 0 : 6;
          break;
        case ColumnKind::Long:
          static_cast<dataaccess::TBlob*>(objects[k])->Compress();
          break;
        case ColumnKind::Object: {
          void* instance = nullptr;
          std::memcpy(&instance, slot, sizeof instance);
          bool isNull = instance == nullptr;
          if (column.dataType == dataaccess::dtReference) {
            // A REF that is not null is pinned, so that its object reads at once.
            auto* ref = static_cast<TOraRef*>(objects[k]);
            *ref->RefPtr() = instance;
            isNull = isNull || ref->RefIsNull();
            if (!isNull) ref->Pin();
          } else if (instance != nullptr) {
            auto* object = static_cast<TOraObject*>(objects[k]);
            object->TakeInstance(instance, column.objectIndicators[size_t(row)]);
            isNull = object->GetIsNull();
            // An XMLTYPE value reads its document at once.
            if (auto* xml = dynamic_cast<TOraXML*>(object); xml && !isNull) {
              xml->MarkNeedsReading();
              xml->AsString();
            }
          }
          // The library leaves the column's own indicator alone: the record reads it.
          const int16_t mark = isNull ? -1 : 0;
          std::memcpy(flat_.data() + column.indicatorOffset + size_t(row) * 2, &mark, 2);
          break;
        }
        case ColumnKind::Plain:
          break;
      }
    }
  }
}

sb4 TOCIRecordSet::defineCallback(void* context, void* define, ub4 iteration, void** buffer, ub4** length,
                                  ub1* piece, void** indicator, ub2** code) {
  auto* self = static_cast<TOCIRecordSet*>(context);
  size_t k = 0;
  const Column* found = nullptr;
  for (const Column& column : self->columns_) {
    if (column.kind == ColumnKind::Plain) continue;
    if (column.kind == ColumnKind::Long && column.define == define) {
      found = &column;
      break;
    }
    k += size_t(self->blockRows());
  }
  if (found == nullptr || iteration >= ub4(self->blockRows()) || self->callbackObjects_ == nullptr)
    dataaccess::AssertionFailed("a define callback for no LONG column of the block", __FILE__, __LINE__);
  auto* blob = static_cast<dataaccess::TBlob*>((*self->callbackObjects_)[k + iteration]);
  dataaccess::PPieceHeader next = dataaccess::TBlob::AllocPiece(blob->PieceSize());
  next->Used = next->Size;
  blob->AppendPiece(next);
  *buffer = next->Data();
  *length = &next->Used;
  *piece = 2;  // next piece
  *indicator = self->flat_.data() + found->indicatorOffset + size_t(iteration) * 2;
  *code = nullptr;
  return -24200;  // go on
}

int TOCIRecordSet::fetchBlock(uint16_t orientation, int32_t offset, int rows,
                              std::vector<dataaccess::TSharedObject*>& objects,
                              std::string& truncatedColumn) {
  if (flat_.empty()) allocFetchBuffer();
  if (!defined_) defineColumns();
  objects = prepareObjects();
  platform::UndoOnFailure release([this, &objects] { releaseObjects(objects); });
  callbackObjects_ = &objects;
  platform::ScopeExit forget([this] { callbackObjects_ = nullptr; });
  const int received = Command().FetchAt(uint32_t(rows), orientation, offset, &truncatedColumn);
  finishObjects(objects, received);
  return received;
}

void TOCIRecordSet::addRows(const std::vector<uint8_t>& buffer, int rows, int firstRow,
                            const std::vector<dataaccess::TSharedObject*>& objects) {
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
    size_t objectColumn = 0;
    for (size_t c = 0; c < columns_.size(); ++c) {
      const Column& column = columns_[c];
      const TFieldDesc& field = Fields[column.fieldIndex];
      int16_t indicator;
      std::memcpy(&indicator, buffer.data() + column.indicatorOffset + size_t(row) * 2, 2);
      if (column.kind != ColumnKind::Plain) {
        // The record takes the object over; a null value keeps its (empty) object too.
        SetSlotPointer(field, record.data(), objects[objectColumn++ * size_t(blockRows()) + size_t(row)]);
        if (indicator == -1) SetNull(column.fieldIndex + 1, record.data(), true);
        continue;
      }
      const uint8_t* value = buffer.data() + column.valueOffset + size_t(row) * column.bufferLength;
      if (column.dataType == dataaccess::dtMemo) {
        // A long text fetched whole: the record's blob holds it up to its terminator.
        const bool wide = column.subType == dataaccess::dtWideString;
        auto* blob = new dataaccess::TBlob(wide);
        SetSlotPointer(field, record.data(), blob);
        if (indicator == -1) {
          SetNull(column.fieldIndex + 1, record.data(), true);
        } else if (wide) {
          size_t n = 0;
          while (n + 1 < column.bufferLength && (value[n] != 0 || value[n + 1] != 0)) n += 2;
          blob->Write(0, n, value);
        } else {
          blob->Write(0, strnlen(reinterpret_cast<const char*>(value), column.bufferLength), value);
        }
        continue;
      }
      if (indicator == -1) {
        SetNull(column.fieldIndex + 1, record.data(), true);
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
        case dataaccess::dtWideString: {
          std::memcpy(slot, value, column.bufferLength);
          if (trim) {
            size_t n = 0;
            while (n + 1 < column.bufferLength && (slot[n] != 0 || slot[n + 1] != 0)) n += 2;
            while (n >= 2 && slot[n - 2] == ' ' && slot[n - 1] == 0) {
              n -= 2;
              slot[n] = 0;
            }
          }
          break;
        }
        case dataaccess::dtExtWideString: {
          std::u16string text;
          for (size_t i = 0; i + 1 < column.bufferLength && (value[i] != 0 || value[i + 1] != 0); i += 2)
            text += char16_t(value[i] | value[i + 1] << 8);
          SetSlotPointer(field, record.data(), StringHeap.AllocWideStr(text.c_str(), trim));
          break;
        }
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
  if (oneRow_) return fetchOneRow();
  return fetchBlockAt(OCI_FETCH_NEXT, 0, FetchRows(), 0);
}

bool TOCIRecordSet::fetchOneRow() {
  TOCICommand& command = Command();
  bool cancel = false;
  FetchBlockEvent(true, cancel);
  if (cancel) {
    command.SetCursorState(7);
    return false;
  }
  if (flat_.empty()) allocFetchBuffer();
  if (!defined_) defineColumns();
  std::vector<dataaccess::TSharedObject*> objects = prepareObjects();
  platform::UndoOnFailure release([this, &objects] { releaseObjects(objects); });
  sword status = command.FetchPiece(OCI_FETCH_NEXT, 0);
  // LONG values come piece by piece into their row's blob while the library has more.
  const bool old = command.GetOCICallStyle() == OCI73;
  void* statement = old ? nullptr : command.statementOf(*command.GetCursor());
  uint8_t* area = old ? command.GetCursor()->CursorArea() : nullptr;
  void* error = command.conn().GetErrorHandle();
  constexpr sword kOldNextOutputPiece = -3130;
  while (status == (old ? kOldNextOutputPiece : OCI_NEED_DATA)) {
    void* handle = nullptr;
    ub4 type = 0, iteration = 0, index = 0;
    ub1 direction = 0, piece = 0;
    if (old)
      command.check(ogetpi(area, &piece, &handle, &iteration, &index));
    else
      command.check(
          OCIStmtGetPieceInfo(statement, error, &handle, &type, &direction, &iteration, &index, &piece));
    size_t k = 0;
    const Column* found = nullptr;
    for (const Column& column : columns_) {
      if (column.kind == ColumnKind::Plain) continue;
      if (column.kind == ColumnKind::Long && column.define == handle) {
        found = &column;
        break;
      }
      ++k;
    }
    if (found == nullptr)
      dataaccess::AssertionFailed("a piece for no LONG column of the row", __FILE__, __LINE__);
    auto* blob = static_cast<dataaccess::TBlob*>(objects[k]);
    dataaccess::PPieceHeader next = dataaccess::TBlob::AllocPiece(blob->PieceSize());
    platform::UndoOnFailure freePiece([next] { dataaccess::TBlob::FreePiece(next); });
    ub4 length = next->Size;
    if (old)
      command.check(osetpi(area, piece, next->Data(), &length));
    else
      command.check(OCIStmtSetPieceInfo(handle, OCI_HTYPE_DEFINE, error, next->Data(), &length, piece,
                                        flat_.data() + found->indicatorOffset, nullptr));
    status = command.FetchPiece(OCI_FETCH_NEXT, 0);
    freePiece.Dismiss();
    next->Used = std::min<ub4>(length, next->Size);
    if (next->Used == 0) {
      dataaccess::TBlob::FreePiece(next);
    } else {
      blob->AppendPiece(next);
      if (next->Used < next->Size) blob->CompressPiece(next);
    }
  }
  const int received = status == OCI_SUCCESS ? 1 : 0;
  finishObjects(objects, received);
  release.Dismiss();
  if (received > 0) {
    addRows(flat_, received, 0, objects);
    // The fetches of one row do not count: the rows held are the rows fetched.
    command.fetchedRows_ = RecordCount;
  }
  FetchBlockEvent(false, cancel);
  if (command.GetCursorState() == 9 && autoClose_) InternalUnprepare();
  return received > 0;
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
  std::vector<dataaccess::TSharedObject*> objects;
  std::string truncated;
  const int received = fetchBlock(orientation, offset, rows, objects, truncated);
  if (received > 0) addRows(flat_, received, firstRow, objects);
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
      std::vector<dataaccess::TSharedObject*> objects;
      std::string truncated;
      const int rows = fetchBlock(OCI_FETCH_NEXT, 0, FetchRows(), objects, truncated);
      if (rows > 0) {
        std::lock_guard<std::mutex> lock(pendingLock_);
        pending_.push_back({flat_, rows, std::move(objects)});
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
    addRows(block.buffer, block.rows, 0, block.objects);
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
  for (PendingBlock& block : pending_) releaseObjects(block.objects);
  pending_.clear();
  backgroundError_ = nullptr;
  TOCICommand& command = Command();
  command.SetExecuting(false);
  if (command.GetCursorState() == 8) command.SetCursorState(7);
}

void TOCIRecordSet::SetToEnd() {
  const int state = Command().GetCursorState();
  if (CanFetchBack() && state >= 4) {
    std::vector<dataaccess::TSharedObject*> objects;
    std::string truncated;
    if (fetchBlock(OCI_FETCH_LAST, 0, 1, objects, truncated) > 0)
      addRows(flat_, 1, Command().FetchedRows(), objects);
    if (!truncated.empty()) RaiseError("The value of column " + truncated + " was truncated");
  } else if (FetchingInBackground() || (state >= 4 && state < 9)) {
    while (Fetch(false)) {
    }
  }
  TQvRecordSet::SetToEnd();
}

namespace {

// The data types whose record slot holds a value object of this driver.
bool holdsValueObject(uint16_t dataType) {
  return dataType == dtCursor || IsValueObjectType(dataType);
}

// The value types among them (TIMESTAMP, INTERVAL, NUMBER): an edit gets copies of these; it
// shares the others (a LOB is written in place).
bool isValueType(uint16_t dataType) {
  return (dataType >= dtTimeStamp && dataType <= dtIntervalDS) || dataType == dtNumber;
}

// All of them are shared objects that the dataset layer references and releases like any other.
dataaccess::TDataTypeSet withValueObjects(dataaccess::TDataTypeSet types) {
  for (size_t t = 0; t < types.size(); ++t)
    if (holdsValueObject(uint16_t(t))) types.set(t);
  return types;
}

}  // namespace

dataaccess::TDataTypeSet TOCIRecordSet::GetComplexTypes() const {
  return withValueObjects(TQvRecordSet::GetComplexTypes());
}

dataaccess::TDataTypeSet TOCIRecordSet::GetObjectTypes() const {
  return withValueObjects(TQvRecordSet::GetObjectTypes());
}

void TOCIRecordSet::InitFields() {
  TQvRecordSet::InitFields();
  for (int i = 0; i < Fields.Count(); ++i)
    if (holdsValueObject(Fields[i].DataType)) HasComplexFields = true;
}

void TOCIRecordSet::CreateComplexFields(uint8_t* recBuf, bool withBlobs) {
  TQvRecordSet::CreateComplexFields(recBuf, withBlobs);
  if (!withBlobs) return;
  // A record the dataset makes (an insert) gets empty value objects like a fetched one.
  TOCIConnection* connection = static_cast<TOCIConnection*>(Command().GetConnection());
  void* svcCtx = connection != nullptr && connection->GetConnected() && connection->GetOCICallStyle() != OCI73
                     ? connection->GetSvcCtx()
                     : nullptr;
  for (int i = 0; i < Fields.Count(); ++i) {
    const TFieldDesc& field = Fields[i];
    if (field.HasParent() || !holdsValueObject(field.DataType)) continue;
    dataaccess::TSharedObject* object = nullptr;
    switch (field.DataType) {
      case dtCursor:
        object = new TOraCursor();
        break;
      case dtOraBlob:
      case dtOraClob: {
        auto* lob = new TOraLob(svcCtx);
        if (connection != nullptr) lob->SetTextCharset(*connection);
        object = lob;
        break;
      }
      case dtBFile:
      case dtCFile:
        object = new TOraFile(svcCtx);
        break;
      case dtTimeStamp:
      case dtTimeStampTZ:
      case dtTimeStampLTZ:
        object = new TOraTimeStamp(field.DataType);
        break;
      case dtIntervalYM:
      case dtIntervalDS:
        object = new TOraInterval(field.DataType);
        break;
      case dataaccess::dtObject:
      case dataaccess::dtReference:
      case dataaccess::dtArray:
      case dataaccess::dtTable:
      case dtXML: {
        auto* type = static_cast<TOraType*>(field.ObjectType());
        TOraObject* value = field.DataType == dataaccess::dtReference ? new TOraRef(type)
                            : field.DataType == dataaccess::dtArray   ? new TOraArray(type)
                            : field.DataType == dataaccess::dtTable   ? new TOraNestTable(type)
                            : field.DataType == dtXML                 ? new TOraXML(type)
                                                                      : new TOraObject(type);
        value->SetSvcCtx(svcCtx);
        if (connection != nullptr) value->SetTextEncoding(connection->NarrowTextEncoding());
        object = value;
        break;
      }
      default:
        object = new TOraNumber();
    }
    SetSlotPointer(field, recBuf, object);
  }
}

void TOCIRecordSet::CopyComplexFields(const uint8_t* source, uint8_t* dest, bool withBlobs) {
  TQvRecordSet::CopyComplexFields(source, dest, withBlobs);
  // The edit changes its own value objects; the record set keeps copies of the values as they were.
  for (int i = 0; i < Fields.Count(); ++i) {
    const TFieldDesc& field = Fields[i];
    if (field.HasParent() || !holdsValueObject(field.DataType)) continue;
    auto* from = SlotPointer<dataaccess::TSharedObject>(field, source);
    if (!isValueType(field.DataType)) {
      if (from != nullptr) from->AddRef();
      SetSlotPointer(field, dest, from);
      continue;
    }
    dataaccess::TSharedObject* copy = nullptr;
    if (auto* t = dynamic_cast<TOraTimeStamp*>(from)) {
      auto* c = new TOraTimeStamp(field.DataType);
      t->AssignTo(*c);
      copy = c;
    } else if (auto* v = dynamic_cast<TOraInterval*>(from)) {
      auto* c = new TOraInterval(field.DataType);
      v->AssignTo(*c);
      copy = c;
    } else if (auto* n = dynamic_cast<TOraNumber*>(from)) {
      auto* c = new TOraNumber();
      n->AssignTo(*c);
      copy = c;
    }
    SetSlotPointer(field, dest, copy);
  }
}

dataaccess::TBlob* TOCIRecordSet::GetStreamBlob(int fieldNo, const uint8_t* recBuf) const {
  const TFieldDesc& field = FieldOf(fieldNo);
  if (field.HasParent() || (field.DataType != dtBFile && field.DataType != dtCFile))
    return TQvRecordSet::GetStreamBlob(fieldNo, recBuf);
  return SlotPointer<TOraFile>(field, recBuf);
}

Variant TOCIRecordSet::GetFieldAsVariant(int fieldNo, const uint8_t* recBuf) {
  const TFieldDesc& field = FieldOf(fieldNo);
  if (!field.HasParent() && field.DataType == dataaccess::dtBlob) {
    // LONG RAW: the bytes of the row's blob.
    if (GetNull(fieldNo, recBuf)) return Variant::null();
    auto* blob = SlotPointer<dataaccess::TBlob>(field, recBuf);
    std::vector<uint8_t> bytes(blob != nullptr ? blob->GetSize() : 0);
    if (!bytes.empty()) blob->Read(0, bytes.size(), bytes.data());
    return Variant::bytes(std::move(bytes));
  }
  if (field.HasParent() || !holdsValueObject(field.DataType))
    return TQvRecordSet::GetFieldAsVariant(fieldNo, recBuf);
  if (GetNull(fieldNo, recBuf)) return Variant::null();
  auto* object = SlotPointer<dataaccess::TSharedObject>(field, recBuf);
  // A record made here rather than fetched holds no value object yet: it has no value.
  if (object == nullptr) return Variant::null();
  switch (field.DataType) {
    case dtOraBlob:
    case dtOraClob:
    case dtBFile:
    case dtCFile: {
      auto* lob = static_cast<TOraLob*>(object);
      lob->CheckValue();
      if (field.DataType == dtOraClob) return Variant(lob->AsString());
      std::vector<uint8_t> bytes(lob->GetSize());
      lob->Read(0, bytes.size(), bytes.data());
      return Variant::bytes(std::move(bytes));
    }
    case dtTimeStamp:
    case dtTimeStampTZ:
    case dtTimeStampLTZ:
      return Variant(static_cast<TOraTimeStamp*>(object)->AsDateTime());
    case dtIntervalYM:
    case dtIntervalDS:
      return Variant(static_cast<TOraInterval*>(object)->AsString());
    case dtNumber:
      // Exact: the text holds every digit the value has.
      return Variant(static_cast<TOraNumber*>(object)->AsString());
    case dtXML:
      return Variant(static_cast<TOraXML*>(object)->AsString());
    default:
      // Objects, collections and REFs read as themselves, as the store gives its objects.
      return Variant::object(object);
  }
}

void TOCIRecordSet::GetFieldData(const TFieldDesc& field, const uint8_t* recBuf, void* dest,
                                 size_t destSize) {
  if (field.DataType != dtFixedChar && field.DataType != dtFixedWideChar)
    return TQvRecordSet::GetFieldData(field, recBuf, dest, destSize);
  // Fixed-length text goes over whole, its line ends made CR LF when the dataset asks for it.
  const uint8_t* slot = Slot(field, recBuf);
  auto* out = static_cast<uint8_t*>(dest);
  const size_t unit = field.DataType == dtFixedWideChar ? 2 : 1;
  const size_t units = size_t(field.Size) / unit;
  if (!NeedConvertEOL()) {
    std::memcpy(out, slot, std::min(destSize, units * unit));
    return;
  }
  size_t written = 0;
  for (size_t i = 0; i < units && written + unit <= destSize; ++i) {
    const uint16_t c = unit == 2 ? uint16_t(slot[2 * i] | slot[2 * i + 1] << 8) : slot[i];
    const bool previousIsCR =
        i > 0 && (unit == 2 ? (slot[2 * i - 2] | slot[2 * i - 1] << 8) == '\r' : slot[i - 1] == '\r');
    if (c == '\n' && !previousIsCR && written + 2 * unit <= destSize) {
      out[written] = '\r';
      if (unit == 2) out[written + 1] = 0;
      written += unit;
    }
    std::memcpy(out + written, slot + i * unit, unit);
    written += unit;
  }
  if (written + unit <= destSize) std::memset(out + written, 0, unit);
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
