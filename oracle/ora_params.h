// Parameters of the Oracle statement components: the data-access parameter with PL/SQL table
// binding (Table, Length) and Oracle value objects, and the field types of the Oracle data types.
//
// A table or DML-array parameter's value is a variant array whose element i is item i (1-based);
// Length is its element count, 1 for a single value. A cursor parameter holds a TOraCursor; blob,
// memo and the LOB types hold their content in a TBlob; TIMESTAMP, INTERVAL and NUMBER parameters
// hold their value object, and their text, integer and float accessors go through it (a NUMBER
// keeps every digit of its text). BLOB and CLOB parameters hold a TOraLob, BFILE parameters a
// TOraFile, without a service context until they are bound. Object, VARRAY, REF, nested-table and
// XML parameters hold a TOraObject of the matching class (no type until one is given); an XML
// parameter's text is the document's.
//
// Not thread-safe: used by the thread that owns the statement.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "dataaccess/dbaccess_params.h"
#include "dataaccess/memds.h"
#include "oracle/oraclasses.h"
#include "oracle/oraclasses_values.h"
#include "oracle/oraobjects.h"

namespace oracle {

using dataaccess::FieldType;

// The field type a column or parameter of Oracle data type `dataType` is shown as, and back.
FieldType OraDataTypeToFieldType(uint16_t dataType);
uint16_t OraFieldTypeToDataType(FieldType fieldType);

class TOraParam : public dataaccess::TDAParam {
 public:
  TOraParam() = default;
  ~TOraParam() override;

  bool IsObjectDataType(FieldType dataType) const override;
  bool IsBlob() const override;
  // A new type drops the old type's cursor or value object and creates its own.
  void SetDataType(FieldType value) override;
  // The declared size for the string types, 0 for the others.
  int32_t GetSize() const;
  // Bytes and var-bytes values pass as strings of their bytes.
  std::string GetAsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t GetAsInteger() const override;
  void SetAsInteger(int32_t value) override;
  double GetAsFloat() const override;
  void SetAsFloat(double value) override;
  dataset::Variant GetValue() const override;
  void SetValue(const dataset::Variant& value) override;
  bool IsNull() const override;
  void Clear() override;
  void CreateObject() override;
  void FreeObject() override;
  void Assign(const dataset::Param& other) override;

  // The cursor of a cursor parameter, else nullptr.
  TOraCursor* GetCursor() const { return cursor_; }
  // The value object of a TIMESTAMP, INTERVAL or NUMBER parameter, else nullptr.
  TOraTimeStamp* GetTimeStamp() const { return dynamic_cast<TOraTimeStamp*>(value_); }
  TOraInterval* GetInterval() const { return dynamic_cast<TOraInterval*>(value_); }
  TOraNumber* GetNumber() const { return dynamic_cast<TOraNumber*>(value_); }
  // The object of an object, VARRAY, REF, nested-table or XML parameter, else nullptr; an untyped
  // parameter first becomes an object (GetObject), VARRAY (GetArray) or nested-table parameter.
  TOraObject* GetObject();
  TOraArray* GetArray();
  TOraNestTable* GetNestedTable();
  // The LOB of a BLOB, CLOB or BFILE parameter (an untyped one becomes a CLOB first), and the
  // file of a BFILE parameter (an untyped one becomes a BFILE first); nullptr for other types.
  // The parameter keeps them.
  TOraLob* GetLob();
  TOraFile* GetFile();
  // A fixed-length wide-string field makes a parameter of the fixed wide-string type.
  void AssignFieldValue(const dataset::Field& field, const dataset::Variant& value) override;
  // Drops what the value object holds for its connection (a LOB's locator, a TIMESTAMP's or
  // INTERVAL's descriptor, which makes it null; an object's instance and type); the object itself
  // stays.
  void ReleaseObject();

  bool GetTable() const { return table_; }
  // Throws "This type cannot consist in table" for a type outside the table types; then Table
  // stays as it was. Off turns an array value into its first item.
  void SetTable(bool value);
  int GetLength() const;
  // Below 2 the value becomes its first item; 2 or more makes or resizes the array. Throws
  // EDatabaseError "Unknown type of parameter %s." for an untyped parameter, and "Type is not
  // allowed in DML array" for a type outside the table types.
  void SetLength(int value);
  // Throws std::out_of_range "Index of array is not range" below 1; above Length grows Length to it.
  void CheckIndex(int index);
  void SetItemValue(int index, const dataset::Variant& value);

 private:
  // Runs `f` on the TIMESTAMP, INTERVAL or NUMBER value object.
  template <class F>
  auto withValue(F f) const;
  // The value object's text, and reading a text into it.
  std::string valueText() const;
  void setValueText(const std::string& text);
  bool valueIsNull() const;
  void setValueNull();

  TOraCursor* cursor_ = nullptr;
  TOraObject* object_ = nullptr;                // object, VARRAY, REF, nested table or XML
  dataaccess::TSharedObject* value_ = nullptr;  // TOraTimeStamp, TOraInterval or TOraNumber
  bool table_ = false;
};

class TOraParams : public dataaccess::TDAParams {
 public:
  TOraParam& Items(int index) const { return static_cast<TOraParam&>((*this)[index]); }
  TOraParam* FindParam(std::string_view name) const {
    return static_cast<TOraParam*>(Params::FindParam(name));
  }
  TOraParam& ParamByName(std::string_view name) const {
    return static_cast<TOraParam&>(Params::ParamByName(name));
  }
  // ReleaseObject of every parameter, first to last; for a disconnect.
  void ReleaseObjects();
  // Reads the older stored form of the parameters (the "Data" property) into the parameters of
  // the same names. Records of unknown names are read and dropped. Throws EDatabaseError on a
  // value type the stored form cannot hold and on bytes that end inside a record or give a
  // value longer than its buffer.
  void ReadData(std::span<const uint8_t> data);

 protected:
  std::unique_ptr<dataset::Param> NewParam() const override { return std::make_unique<TOraParam>(); }
};

}  // namespace oracle
