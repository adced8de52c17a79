// The field classes of the Oracle-only column types, and their registration with the dataset
// layer.
//
// TIMESTAMP, INTERVAL and NUMBER fields (and BFILE fields) show a value object that the record
// store holds per record (TMemDataSet::GetFieldObject): reading goes through the object; writing
// changes the object of the record being edited (the store gives each edit its own copy) and
// then reports the change through the dataset's field-change path, so that Cancel gives the old
// object back. Writing Null, or an empty text, clears the field. A dataset whose store holds
// these columns as plain values (text, numbers) is read and written through those values.
//
// Not thread-safe: a dataset and its fields are used by one thread.
#pragma once

#include <string>

#include "dataaccess/memds.h"
#include "dataset/fields.h"
#include "oracle/oraclasses.h"
#include "oracle/oraclasses_values.h"

namespace oracle {

// Registers the Oracle field classes for their field types; once per process, any thread.
void RegisterOraFieldClasses();

// The Oracle value types of the record store (TIMESTAMP, INTERVAL, NUMBER) and their objects.
bool IsOraValueType(uint16_t dataType);
// A new null value object of `dataType`; the caller owns its one reference.
dataaccess::TSharedObject* NewOraValue(uint16_t dataType);
// Negative, 0 or positive; both of one value type.
int CompareOraValues(dataaccess::TSharedObject& a, dataaccess::TSharedObject& b);
void AssignOraValue(dataaccess::TSharedObject& from, dataaccess::TSharedObject& to);
// Locate and Lookup keys over the Oracle value types: a TIMESTAMP takes a date-time or a text, an
// INTERVAL a text, a NUMBER an integer, a float or a text; any other kind raises EConvertError
// "Cannot convert type.". False for a Null key.
bool OraVariantToValueBuffer(const dataaccess::TFieldDesc& field, const dataset::Variant& value,
                             dataaccess::TValueBuffer& buffer);
// Whether the record's value matches the key: the record's object compared with one made from
// the key, equal, or with lxNearest any order in which the key sorts before the value.
bool OraCompareFieldValue(dataaccess::TData& data, const dataaccess::TValueBuffer* key,
                          const dataaccess::TFieldDesc& field, const uint8_t* recBuf, uint8_t options);

class TCursorField : public dataset::Field {
 public:
  TCursorField() : Field(dataset::ftCursor) {}
  dataset::Variant Convert(const dataset::Variant& v) const override { return v; }
};

// A BFILE: read-only here (a file is changed through its TOraFile); null when its locator names
// neither a directory nor a file.
class TBFileField : public dataset::BlobField {
 public:
  TBFileField();
  // Always ftBlob: a BFILE field is read as a binary blob.
  dataset::FieldType BlobType() const { return dataset::ftBlob; }
  void SetBlobType(dataset::FieldType) {}
  bool IsNull() const override;
  void SetValue(const dataset::Variant& v) override;
  // "(BFile)" when null, "(BFILE)" otherwise.
  std::string DisplayText() const override;
  // The file of the current record, or nullptr; the record keeps it.
  TOraFile* File() const;
  std::string FileDir() const;
  std::string FileName() const;
};

class TOraDataSetField : public dataset::ObjectField {
 public:
  TOraDataSetField() : ObjectField(dataset::ftDataSet) {}
  // "(DataSet)" when null, "(DATASET)" otherwise.
  std::string DisplayText() const override;
};

class TOraReferenceField : public dataset::ObjectField {
 public:
  TOraReferenceField() : ObjectField(dataset::ftReference) {}
  // "(Reference)" when null, "(REFERENCE)" otherwise.
  std::string DisplayText() const override;
};

// A column of trusted labels: its value is always Null.
class TLabelField : public dataset::Field {
 public:
  TLabelField();
  bool IsNull() const override { return true; }
  dataset::Variant Value() const override { return dataset::Variant::null(); }
};

// The base of the fields over TIMESTAMP, INTERVAL and NUMBER value objects: the object of the
// current record, and the write through it.
class TOraValueField : public dataset::Field {
 public:
  bool IsNull() const override;
  // The value's text, or Null.
  dataset::Variant Value() const override;
  std::string AsString() const override;
  // An empty text clears the field; a text the value does not take leaves it unchanged.
  void SetAsString(const std::string& v) override;
  void SetValue(const dataset::Variant& v) override;
  dataset::Variant Convert(const dataset::Variant& v) const override { return v; }

 protected:
  explicit TOraValueField(dataset::FieldType type) : Field(type) {}
  // The value object of the current record, or nullptr when the store holds plain values.
  dataaccess::TSharedObject* object() const;
  // Runs `write` on the object of the record being edited, then reports the change.
  template <class Write>
  void writeObject(Write write);
  // The object's text and null state, and reading a text into it.
  virtual std::string objectText(dataaccess::TSharedObject& o) const = 0;
  virtual bool objectIsNull(dataaccess::TSharedObject& o) const = 0;
  virtual void setObjectText(dataaccess::TSharedObject& o, const std::string& text) = 0;
};

class TOraTimeStampField : public TOraValueField {
 public:
  // ftTimeStamp, ftTimeStampTZ or ftTimeStampLTZ.
  explicit TOraTimeStampField(dataset::FieldType type = dataaccess::ftTimeStamp) : TOraValueField(type) {}
  dataset::DateTime AsDateTime() const override;
  void SetAsDateTime(dataset::DateTime v) override;
  void SetValue(const dataset::Variant& v) override;
  TOraTimeStamp* AsTimeStamp() const { return dynamic_cast<TOraTimeStamp*>(object()); }

  // The format model of the text; empty for the session's default.
  std::string Format;

 protected:
  std::string objectText(dataaccess::TSharedObject& o) const override;
  bool objectIsNull(dataaccess::TSharedObject& o) const override;
  void setObjectText(dataaccess::TSharedObject& o, const std::string& text) override;
};

class TOraIntervalField : public TOraValueField {
 public:
  // ftIntervalYM or ftIntervalDS.
  explicit TOraIntervalField(dataset::FieldType type = dataaccess::ftIntervalDS) : TOraValueField(type) {}

 protected:
  std::string objectText(dataaccess::TSharedObject& o) const override;
  bool objectIsNull(dataaccess::TSharedObject& o) const override;
  void setObjectText(dataaccess::TSharedObject& o, const std::string& text) override;
};

// A NUMBER with every digit it holds (up to 38 and beyond a double's).
class TOraNumberField : public TOraValueField {
 public:
  TOraNumberField() : TOraValueField(dataaccess::ftNumber) {}
  int32_t AsInteger() const override;
  double AsFloat() const override;
  void SetAsInteger(int32_t v) override;
  void SetAsFloat(double v) override;
  // Small and large integers as integers, doubles and currencies as floats, texts as texts;
  // any other kind raises EConvertError "Cannot convert type.".
  void SetValue(const dataset::Variant& v) override;
  // Digits, signs, "E", "e" and the decimal and thousand separators.
  bool IsValidChar(char c) const override;
  TOraNumber* AsNumber() const { return dynamic_cast<TOraNumber*>(object()); }

  int DisplayWidth = 38;

 protected:
  std::string objectText(dataaccess::TSharedObject& o) const override;
  bool objectIsNull(dataaccess::TSharedObject& o) const override;
  void setObjectText(dataaccess::TSharedObject& o, const std::string& text) override;
};

// An XML document, read and written as its text; other readings are refused.
class TOraXMLField : public dataset::Field {
 public:
  TOraXMLField() : Field(dataaccess::ftXML) {}
  dataset::Variant Convert(const dataset::Variant& v) const override;
  // EDatabaseError "Cannot access field '...' as type Text" (the document is only text).
  int32_t AsInteger() const override;
  double AsFloat() const override;
  dataset::DateTime AsDateTime() const override;
};

}  // namespace oracle
