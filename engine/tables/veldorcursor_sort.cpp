// The cursor's entry to the record sort of the data file.
#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldorsession.h"
#include "engine/tables/veldortable.h"

namespace engine {

uint32_t TDataCursor::SortRecords(std::span<const uint16_t> fields, std::span<const bool> descending,
                                  TSortOptions options) {
  if (!active_) Raise(VELDOR_TABLEOPEN);
  CheckExclusive();
  CheckWritable();
  if (IsRemote()) Raise(VELDOR_NEEDEXCLACCESS);
  TIndexFile& index = table_->IndexFile();
  if (!table_->NoPrimaryIndex() || index.GetIndexCount() > 0 || index.GetRootPageNumber(kSysTextSlot) != 0)
    Raise(VELDOR_INDEXEXISTS);
  TDataFile& data = table_->DataFile();
  std::vector<TFieldDescriptor> sortFields;
  for (size_t i = 0; i < fields.size(); ++i) {
    const TFieldDescriptor* d = data.GetFieldDescriptor(fields[i]);
    if (!d || d->IsBlob() || d->Computed()) Raise(VELDOR_INVALIDFIELDNAME);
    sortFields.push_back(*d);
    sortFields.back().SetDescending(i < descending.size() && descending[i]);
  }
  if (options.tempDirectory.empty()) options.tempDirectory = Session().GetPrivateDirectory();
  UnlockRecord(true);
  FlushBuffers(true, false, true, true, true);
  const uint32_t count = data.SortRecords(sortFields, options);
  // The record-id index named the old slots: built again over the new ones, with its record
  // count. Its flush writes the sorted records and the new index out in one commit.
  DeleteIndexPages(kSysDeletedSlot);
  BuildRecordIdIndex();
  UpdateChangeCounters();
  SelectIndex(kNoCurrentIndex);
  SetToBegin();
  return count;
}

}  // namespace engine
