// Parameters of a statement or a stored procedure: a name, a data type, a direction and a value.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/fields.h"
#include "dataset/variant.h"

namespace dataset {

enum ParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

class Param {
 public:
  Param() = default;
  virtual ~Param() = default;

  const Variant& Value() const { return value_; }
  // Stores the value; a parameter of unknown type takes the value's type.
  virtual void SetValue(const Variant& v);
  virtual bool IsNull() const { return value_.isNull(); }
  virtual void Clear() { value_ = Variant::null(); }
  // Bound: the value was set, so the statement must not take it from elsewhere (a master record).
  bool Bound = false;

  std::string AsString() const { return value_.isNull() ? std::string() : value_.asString(); }
  int32_t AsInteger() const { return value_.isNull() ? 0 : value_.asInt32(); }
  double AsFloat() const { return value_.isNull() ? 0 : value_.asDouble(); }
  void SetAsString(const std::string& v) { setTyped(ftString, Variant(v)); }
  void SetAsInteger(int32_t v) { setTyped(ftInteger, Variant(v)); }
  void SetAsFloat(double v) { setTyped(ftFloat, Variant(v)); }
  void SetAsDateTime(DateTime v) { setTyped(ftDateTime, Variant(v)); }
  // The field's type and its current value.
  void AssignField(const Field& field);
  virtual void Assign(const Param& other);

  std::string Name;
  FieldType DataType = ftUnknown;
  ParamType ParamType_ = ptUnknown;

 private:
  void setTyped(FieldType type, const Variant& v) {
    DataType = type;
    SetValue(v);
  }
  Variant value_ = Variant::null();
};

class Params {
 public:
  virtual ~Params() = default;
  int Count() const { return int(items_.size()); }
  Param& operator[](int i) const { return *items_.at(size_t(i)); }
  Param& CreateParam(FieldType type, std::string name, ParamType paramType);
  void Clear() { items_.clear(); }
  // The first parameter of the name, ignoring ASCII case; nullptr or "Parameter '...' not found".
  Param* FindParam(std::string_view name) const;
  Param& ParamByName(std::string_view name) const;
  // Copies, for every parameter of `source` found here by name, its type and value.
  void AssignValues(const Params& source);
  // Replaces the list with copies of `source`'s parameters.
  void Assign(const Params& source);

 protected:
  // A new parameter of the collection's class.
  virtual std::unique_ptr<Param> NewParam() const { return std::make_unique<Param>(); }

 private:
  std::vector<std::unique_ptr<Param>> items_;
};

}  // namespace dataset
