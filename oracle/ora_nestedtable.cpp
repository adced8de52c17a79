#include "oracle/ora_nestedtable.h"

#include <memory>

#include "dataaccess/daconsts.h"
#include "oracle/ora_params.h"
#include "oracle/oraerror.h"

namespace oracle {

TOraNestedTable::TOraNestedTable() {
  // The base constructor installed its own store before this class existed.
  CreateIRecordSet();
}

void TOraNestedTable::CreateIRecordSet() {
  SetIRecordSet(std::make_unique<TTableData>());
}

TOraArray* TOraNestedTable::Table() const {
  TTableData* data = tableData();
  return data ? data->Table() : nullptr;
}

void TOraNestedTable::SetTable(TOraArray* table) {
  if (table == Table()) {
    if (Active()) Refresh();
    return;
  }
  const bool wasActive = Active();
  Close();
  UnPrepare();
  if (!tableData()) CreateIRecordSet();
  tableData()->SetTable(table);
  if (wasActive) Open();
}

void TOraNestedTable::OpenCursor(bool infoQuery) {
  if (!Table()) dataaccess::DatabaseError(SNoDataSetField);
  TMemDataSet::OpenCursor(infoQuery);
}

dataaccess::FieldType TOraNestedTable::GetFieldType(uint16_t dataType) {
  return OraDataTypeToFieldType(dataType);
}

}  // namespace oracle
