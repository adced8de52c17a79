// Field definitions and fields of a dataset.
//
// A FieldDef describes a column as the dataset's source reports it; a Field is the object through
// which the application reads and writes the column's value in the dataset's current record. The
// field class for each data type comes from a registry that higher layers may extend (a driver
// registers its own classes for its types).
//
// A field never stores a record's value itself: data fields ask the dataset (GetFieldData /
// SetFieldData), so they always show the record of the dataset's current state. Values travel as
// Variants in the field's own form (IntegerField: Int32, FloatField: Double, DateTimeField:
// DateTime, BytesField: Bytes, ...).
//
// Not thread-safe: a dataset and its fields are used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/variant.h"

namespace dataset {

class DataSet;

// The data types of fields, in the order that stored type numbers rely on.
enum FieldType : uint8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
};

bool IsBlobFieldType(FieldType t);

// Field and parameter names match ignoring ASCII case.
bool SameName(std::string_view a, std::string_view b);

enum class FieldKind : uint8_t { Data, Calculated, Lookup, InternalCalc };

// Field definition attributes (bits).
enum FieldAttribute : uint8_t { faHiddenCol = 1, faReadonly = 2, faRequired = 4, faFixed = 8 };

class FieldDefs;
class Field;

class FieldDef {
 public:
  FieldDef();
  ~FieldDef();
  FieldDef(const FieldDef&) = delete;
  FieldDef& operator=(const FieldDef&) = delete;

  FieldDefs& ChildDefs();
  bool HasChildDefs() const;
  // A new field of the registered class for DataType, set up from this definition; its children
  // (for ADT and array definitions) come with it.
  std::unique_ptr<Field> CreateField(DataSet* dataSet) const;

  std::string Name;
  FieldType DataType = ftUnknown;
  int Size = 0;
  int Precision = 0;
  bool Required = false;
  uint8_t Attributes = 0;
  int FieldNo = 0;  // 1-based position in the source's record

 private:
  std::unique_ptr<FieldDefs> children_;
};

class FieldDefs {
 public:
  FieldDef& AddFieldDef();
  FieldDef& Add(std::string name, FieldType type, int size = 0, bool required = false);
  int Count() const { return int(items_.size()); }
  FieldDef& operator[](int i) const { return *items_.at(size_t(i)); }
  // Matches names ignoring ASCII case; nullptr when none.
  FieldDef* Find(std::string_view name) const;
  int IndexOf(std::string_view name) const;
  void Clear();

  // Set by the dataset once the definitions match its source; cleared when they must be re-read.
  bool Updated = false;

 private:
  std::vector<std::unique_ptr<FieldDef>> items_;
};

class Field {
 public:
  explicit Field(FieldType type) : dataType_(type) {}
  virtual ~Field();
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  FieldType DataType() const { return dataType_; }
  DataSet* dataSet() const { return dataSet_; }
  // Adds the field to `dataSet`'s field list, which then owns it; the dataset must be closed.
  static Field* AddTo(DataSet& dataSet, std::unique_ptr<Field> field);
  bool IsBlob() const { return IsBlobFieldType(dataType_); }
  bool Calculated() const { return Kind == FieldKind::Calculated || Kind == FieldKind::InternalCalc; }
  bool Lookup() const { return Kind == FieldKind::Lookup; }

  // The value in the record of the dataset's current state; Null when none. A field class whose
  // value is an object of the source (a driver's value types) reads and writes through it by
  // overriding these accessors.
  virtual bool IsNull() const;
  virtual Variant Value() const;
  virtual void SetValue(const Variant& v);
  void Clear() { SetValue(Variant::null()); }
  // The value before the current edit (the record as the source holds it).
  Variant OldValue() const;

  virtual std::string AsString() const;
  virtual int32_t AsInteger() const;
  int64_t AsLargeInt() const;
  virtual double AsFloat() const;
  virtual DateTime AsDateTime() const;
  virtual void SetAsString(const std::string& v);
  virtual void SetAsInteger(int32_t v) { SetValue(Variant(v)); }
  virtual void SetAsFloat(double v) { SetValue(Variant(v)); }
  virtual void SetAsDateTime(DateTime v) { SetValue(Variant(v)); }
  // The text a control shows for the value.
  virtual std::string DisplayText() const { return AsString(); }
  // Whether a control lets the user type `c` into the field.
  virtual bool IsValidChar(char c) const {
    (void)c;
    return true;
  }

  // Turns `v` into this field's form; a value that does not convert raises "Invalid value for
  // field '...'". Null passes.
  virtual Variant Convert(const Variant& v) const;
  // Checks a converted value: the field's range, then OnValidate. Called by the dataset before it
  // stores the value. Null is accepted here; Required is checked when the record is posted.
  virtual void Validate(const Variant& v);
  // Signals that the value in the current record changed.
  void Change();
  // The name used in messages: DisplayLabel, else FieldName.
  const std::string& DisplayName() const { return DisplayLabel.empty() ? FieldName : DisplayLabel; }

  std::string FieldName;
  std::string DisplayLabel;
  std::string DefaultExpression;  // its text becomes the value of a new record
  std::string Origin;             // "TABLE.COLUMN" the value comes from, when the source tells
  int FieldNo = 0;                // position in the source's record; 0 for calculated fields
  int Size = 0;
  FieldKind Kind = FieldKind::Data;
  bool Required = false;
  bool ReadOnly = false;
  bool Visible = true;
  bool FixedChar = false;  // a text of fixed length, padded with blanks
  bool Modified = false;
  Field* ParentField = nullptr;
  std::vector<std::unique_ptr<Field>> Children;  // of ADT and array fields
  // Lookup fields: KeyFields of this dataset are found as LookupKeyFields in LookupDataSet, whose
  // LookupResultField gives the value.
  DataSet* LookupDataSet = nullptr;
  std::string KeyFields;
  std::string LookupKeyFields;
  std::string LookupResultField;
  std::function<void(Field&)> OnChange;
  std::function<void(Field&, const Variant&)> OnValidate;

 protected:
  [[noreturn]] void RangeError(const std::string& value, const std::string& min,
                               const std::string& max) const;

 private:
  friend class DataSet;
  FieldType dataType_;
  DataSet* dataSet_ = nullptr;
  int calcIndex_ = -1;  // slot among the dataset's calculated values
};

class StringField : public Field {
 public:
  explicit StringField(FieldType t = ftString) : Field(t) { Size = 20; }
  // The dataset's direct text where it has one (Value() itself is not overridden here).
  std::string AsString() const override;
  // Texts longer than Size bytes keep the whole characters that fit, by the dataset's
  // NarrowTextEncoding (every byte of a single-byte set is a character).
  Variant Convert(const Variant& v) const override;
};

class WideStringField : public Field {
 public:
  WideStringField() : Field(ftWideString) { Size = 20; }
  // Texts longer than Size UTF-16 units are cut where no character outside the basic plane is
  // split.
  Variant Convert(const Variant& v) const override;
};

class GuidField : public StringField {
 public:
  GuidField() : StringField(ftGuid) { Size = 38; }
};

// Integer fields: a MinValue/MaxValue pair other than 0, 0 bounds the values accepted.
class IntegerField : public Field {
 public:
  explicit IntegerField(FieldType t = ftInteger);
  // The dataset's direct number where it has one (Value() itself is not overridden here).
  int32_t AsInteger() const override;
  Variant Convert(const Variant& v) const override;
  void Validate(const Variant& v) override;
  int64_t MinValue = 0;
  int64_t MaxValue = 0;

 protected:
  int64_t lowest_, highest_;  // what the type holds
};

class SmallintField : public IntegerField {
 public:
  SmallintField() : IntegerField(ftSmallint) {}
};
class WordField : public IntegerField {
 public:
  WordField() : IntegerField(ftWord) {}
};
class AutoIncField : public IntegerField {
 public:
  AutoIncField() : IntegerField(ftAutoInc) {}
};
class LargeintField : public IntegerField {
 public:
  LargeintField() : IntegerField(ftLargeint) {}
};

class FloatField : public Field {
 public:
  explicit FloatField(FieldType t = ftFloat) : Field(t) {}
  Variant Convert(const Variant& v) const override;
  void Validate(const Variant& v) override;
  double MinValue = 0;
  double MaxValue = 0;
  int Precision = 15;
};

class CurrencyField : public FloatField {
 public:
  CurrencyField() : FloatField(ftCurrency) {}
};

// Decimal values; Size is the scale. A number's text, a currency and a whole number reach the
// dataset as they are, so that the dataset rounds them once, exactly, to its places; any other
// value as a double.
class BCDField : public FloatField {
 public:
  BCDField() : FloatField(ftBCD) { Size = 4; }
  Variant Convert(const Variant& v) const override;
};

class BooleanField : public Field {
 public:
  BooleanField() : Field(ftBoolean) {}
  Variant Convert(const Variant& v) const override;
};

class DateTimeField : public Field {
 public:
  explicit DateTimeField(FieldType t = ftDateTime) : Field(t) {}
  Variant Convert(const Variant& v) const override;
};
class DateField : public DateTimeField {
 public:
  DateField() : DateTimeField(ftDate) {}
};
class TimeField : public DateTimeField {
 public:
  TimeField() : DateTimeField(ftTime) {}
};

class BytesField : public Field {
 public:
  explicit BytesField(FieldType t = ftBytes) : Field(t) { Size = 16; }
  Variant Convert(const Variant& v) const override;
};
class VarBytesField : public BytesField {
 public:
  VarBytesField() : BytesField(ftVarBytes) {}
};

// Blob and memo fields read and write their value through the dataset's blob stream.
class BlobField : public Field {
 public:
  explicit BlobField(FieldType t = ftBlob) : Field(t) {}
  Variant Convert(const Variant& v) const override;
};
class MemoField : public BlobField {
 public:
  MemoField() : BlobField(ftMemo) {}
};

class VariantField : public Field {
 public:
  VariantField() : Field(ftVariant) {}
  Variant Convert(const Variant& v) const override { return v; }
};

// ADT, array, reference and nested-dataset fields: the value is the source's object; children
// carry the attributes.
class ObjectField : public Field {
 public:
  explicit ObjectField(FieldType t) : Field(t) {}
  Variant Convert(const Variant& v) const override { return v; }
};

using FieldFactory = std::function<std::unique_ptr<Field>()>;
// Replaces the class made for a field type.
void RegisterFieldClass(FieldType type, FieldFactory factory);
// A new field of the class registered for `type`; nullptr for a type without one.
std::unique_ptr<Field> CreateFieldOfType(FieldType type);

}  // namespace dataset
