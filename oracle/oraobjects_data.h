// TRefData: the object a REF points to as a record store of one record, whose one field "REF"
// holds the REF and has the type's attributes as child fields; changes are flushed to the object.
//
// TTableData: the elements of a VARRAY or nested table as a record store, one record per element,
// with inserts, updates and deletes written through to the collection.
//
// Elements of text, NUMBER and DATE types are the store's one field, named after the element
// (ELEMENT); a hidden second field keeps each record's element index. Collections of objects are
// refused with "Data type is not supported.".
//
// Not thread-safe: used by the thread that owns the dataset.
#pragma once

#include <cstdint>

#include "dataaccess/memdata_data.h"
#include "dataaccess/memdata_list.h"
#include "oracle/oraobjects.h"

namespace oracle {

class TRefData : public dataaccess::TData {
 public:
  TRefData() = default;
  ~TRefData() override;

  // Holds one reference to `ref` (nullptr: none); the store must be closed.
  void SetRef(TOraRef* ref);
  TOraRef* Ref() const { return ref_; }
  // Makes the "REF" field optional instead of required.
  bool FieldOptional = false;

  void InternalPrepare() override;
  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFields() override;
  void GetRecord(uint8_t* recBuf) override;
  void GetNextRecord(uint8_t* recBuf) override;
  void GetPriorRecord(uint8_t* recBuf) override;
  void PutRecord(const uint8_t* recBuf) override;
  void AppendRecord(const uint8_t*) override {}
  void InsertRecord(const uint8_t*) override {}
  // Flushes the changed object to the server's object cache.
  void UpdateRecord(const uint8_t* recBuf) override;
  void DeleteRecord() override {}
  int GetRecordCount() const override { return ref_ && !ref_->RefIsNull() ? 1 : 0; }

 private:
  TOraRef* ref_ = nullptr;
};

class TTableData : public dataaccess::TMemData {
 public:
  TTableData() = default;
  ~TTableData() override;

  // Holds one reference to `table` (nullptr: none); the store must be closed.
  void SetTable(TOraArray* table);
  TOraArray* Table() const { return table_; }

  void InternalOpen() override;
  void InternalInitFields() override;
  // Reads every element not read yet; true when there was one.
  bool Fetch(bool fetchBack = false) override;
  // The collection's: its session's.
  dataset::NarrowText NarrowTextEncoding() const override {
    return table_ ? table_->TextEncoding() : dataset::NarrowText::Utf8;
  }
  void DoInsertRecord(const uint8_t* recBuf) override;
  void DoUpdateRecord(const uint8_t* recBuf) override;
  void DoDeleteRecord() override;

 private:
  int32_t indexOf(const uint8_t* recBuf);
  void writeElement(int32_t index, const uint8_t* recBuf);

  TOraArray* table_ = nullptr;
  int32_t lastIndex_ = -1;
};

}  // namespace oracle
