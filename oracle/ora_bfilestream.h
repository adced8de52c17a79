#pragma once
// TBFileStream: reads the BFILE field of an Oracle dataset's current record. The file is opened
// for the stream's life when nobody opened it before, so a reader needs no open or close calls.

#include "dataaccess/memds.h"

namespace oracle {

class TOraFile;

class TBFileStream : public dataaccess::TBlobStream {
 public:
  // When the field holds a file: opens it unless it is open already or does not exist (a missing
  // file reads as empty).
  TBFileStream(dataaccess::TMemDataSet& dataSet, dataaccess::Field& field, dataset::BlobStreamMode mode);
  // Closes the file when this stream opened it and the file object does not keep its bytes.
  ~TBFileStream() override;

  bool OpenedHere() const { return openedHere_; }
  // The row's file object (nullptr when the field holds none).
  TOraFile* File() const;

 private:
  bool openedHere_ = false;
};

}  // namespace oracle
