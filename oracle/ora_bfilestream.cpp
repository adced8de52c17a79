#include "oracle/ora_bfilestream.h"

#include "oracle/oraclasses.h"

namespace oracle {

TBFileStream::TBFileStream(dataaccess::TMemDataSet& dataSet, dataaccess::Field& field,
                           dataset::BlobStreamMode mode)
    : dataaccess::TBlobStream(dataSet, field, mode) {
  auto* file = dynamic_cast<TOraFile*>(Blob());
  if (file == nullptr || file->IsOpen()) return;
  if (file->Exists()) {
    file->Open();
    openedHere_ = true;
  }
}

TOraFile* TBFileStream::File() const {
  return dynamic_cast<TOraFile*>(Blob());
}

TBFileStream::~TBFileStream() {
  auto* file = dynamic_cast<TOraFile*>(Blob());
  if (!openedHere_ || file == nullptr || file->GetCached()) return;
  try {
    file->Close();
  } catch (...) {
    // A destructor cannot report a failed close; the server drops the file with the session.
  }
}

}  // namespace oracle
