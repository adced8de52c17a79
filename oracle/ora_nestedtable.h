// TOraNestedTable: the elements of a nested table or VARRAY as a dataset of their own, edits
// written back to the collection. The collection is given directly (Table); a dataset without one
// refuses to open with "Missing DataSetField property".
//
// Not thread-safe: used by the thread that owns it.
#pragma once

#include "dataaccess/memds.h"
#include "oracle/oraobjects.h"
#include "oracle/oraobjects_data.h"

namespace oracle {

class TOraNestedTable : public dataaccess::TMemDataSet {
 public:
  TOraNestedTable();

  TOraArray* Table() const;
  // A different collection closes the dataset, installs it and opens again when it was open; the
  // same one refreshes an open dataset.
  void SetTable(TOraArray* table);

 protected:
  void CreateIRecordSet() override;
  void OpenCursor(bool infoQuery) override;
  bool GetCanModify() override { return Table() != nullptr; }
  dataaccess::FieldType GetFieldType(uint16_t dataType) override;

 private:
  TTableData* tableData() const { return dynamic_cast<TTableData*>(&Data()); }
};

}  // namespace oracle
