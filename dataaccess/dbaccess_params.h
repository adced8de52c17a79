// Parameters of the data-access components: the dataset layer's parameters with a size, and with
// blob and memo values held in a TBlob (the value object) instead of the variant.
//
// A blob or memo parameter reads and writes its content as text through the blob; it is null
// while the blob is empty. Changing the data type between blob or memo and any other type
// creates or frees the value object. Read a TDAParam through GetValue: for blob and memo
// parameters the inherited Value() does not hold the content.
//
// Not thread-safe: used by the thread that owns the statement.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataaccess/memdata_blob.h"
#include "dataset/dataset.h"
#include "dataset/params.h"

namespace dataaccess {

using dataset::Field;
using dataset::FieldType;

class TDAParam : public dataset::Param {
 public:
  TDAParam() = default;
  ~TDAParam() override { FreeObject(); }

  virtual bool IsObjectDataType(FieldType dataType) const;
  // Content held in a TBlob; by default every object type.
  virtual bool IsBlob() const { return IsObjectDataType(DataType); }
  FieldType GetDataType() const { return DataType; }
  virtual void SetDataType(FieldType value);
  int32_t GetSize() const { return size_; }
  virtual void SetSize(int32_t value) { size_ = value; }

  virtual std::string GetAsString() const;
  // Through the blob for blob and memo; a wide-string parameter keeps UTF-16 text.
  virtual void SetAsString(const std::string& value);
  virtual std::u16string GetAsWideString() const;
  virtual void SetAsWideString(const std::u16string& value);
  virtual int32_t GetAsInteger() const { return AsInteger(); }
  virtual void SetAsInteger(int32_t value) { Param::SetAsInteger(value); }
  virtual double GetAsFloat() const { return AsFloat(); }
  virtual void SetAsFloat(double value) { Param::SetAsFloat(value); }
  // The data type becomes blob (memo) and the content `value`.
  virtual void SetAsBlob(const std::string& value);
  virtual void SetAsMemo(const std::string& value);
  // The blob of the value (the parameter becomes a blob, or memo, when it is neither), and the
  // use of a caller's blob as the value, which the parameter then holds a reference to.
  virtual TBlob* GetAsBlobRef();
  virtual void SetAsBlobRef(TBlob* blob);
  virtual TBlob* GetAsMemoRef();
  virtual void SetAsMemoRef(TBlob* blob);
  // Blob and memo content as text.
  virtual Variant GetValue() const;
  void SetValue(const Variant& value) override;
  virtual void SetText(const std::string& value) { SetValue(Variant(value)); }
  bool IsNull() const override;
  // Creates the blob for the current data type; there must be none yet.
  virtual void CreateObject();
  virtual void FreeObject();
  void Clear() override;
  // The data type from the field (a memo longer than 255 passes as a string), then the value; a
  // null value clears the parameter.
  virtual void AssignFieldValue(const Field& field, const Variant& value);
  // Sets the data type and loads the blob with the stream's content from its start.
  virtual void LoadFromStream(dataset::Stream& stream, FieldType dataType);

  // From another TDAParam: name, type, direction, value, size and a copy of the blob content;
  // from a plain parameter: what it holds.
  void Assign(const Param& other) override;
  // The text of the lines, each ended by a line feed.
  void AssignStrings(const std::vector<std::string>& lines);
  // Data type, value and name; the direction too when this one's is unknown.
  void AssignParam(const Param& other);
  // The parameter's value into the field.
  void AssignTo(Field& field) const;
  TBlob* ValueObject() const { return object_; }

 protected:
  // For a driver's value objects: `object` (whose one reference the parameter takes over)
  // becomes the value object in place of the current one.
  void SetObject(TBlob* object) {
    FreeObject();
    object_ = object;
  }

 private:
  // The blob, created when the type was set without one.
  TBlob& blob() const;
  mutable TBlob* object_ = nullptr;
  int32_t size_ = 0;
};

class TDAParams : public dataset::Params {
 public:
  TDAParam& Items(int index) const { return static_cast<TDAParam&>((*this)[index]); }
  TDAParam* FindParam(std::string_view name) const { return static_cast<TDAParam*>(Params::FindParam(name)); }
  TDAParam& ParamByName(std::string_view name) const {
    return static_cast<TDAParam&>(Params::ParamByName(name));
  }
  TDAParam& CreateParam(FieldType type, std::string name, dataset::ParamType paramType) {
    return static_cast<TDAParam&>(Params::CreateParam(type, std::move(name), paramType));
  }

 protected:
  std::unique_ptr<dataset::Param> NewParam() const override { return std::make_unique<TDAParam>(); }
};

}  // namespace dataaccess
