// The field descriptor of the table engine: 768 bytes per field, kept in the data file after its
// header and handed between the data file, the key builder and the cursors. The bytes are the
// descriptor; the accessors read and write its fields in place (little-endian):
//
//     0  u16         field number (its position, 1-based)
//     2  string[30]  name: a length byte and 30 bytes
//    33  string[50]  description
//    84  u8          type code (TEngineFieldType)
//    85  u8          subtype (TEngineFieldSubType; Integer with AutoInc is the auto-increment field)
//    86  u8          declared size (String, Bytes, VarBytes: at most 250; others 0)
//    87  u8          declared scale (only BCD)
//    88  u8          stored size in the record
//    89  u8          stored scale
//    90  u16         offset of the field's has-value byte in the record
//    92  u8          required flag
//    93  u8          character case rule
//    94  string[50]  minimum value text
//   145  string[50]  maximum value text
//   196  string[50]  default value text
//   247  u8          computed-field flag: the field takes no room in the record
//   252  u8          hidden flag (a column of an SQL result table that the select list does not show)
//   253  u8          descending flag (record sort only)
//   254  string[100] qualified name "table.field" (a cursor's field list only)
//   355  u16         the field's number in its table (a cursor's field list only)
//   all other bytes zero on disk; 252, 254 and 355 live only in memory
//
// A string field reads as at most its capacity even when a damaged length byte says more.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/bytes.h"

namespace engine {

inline constexpr size_t kFieldDescriptorSize = 768;

inline constexpr uint8_t kFieldTypeString = 1;
inline constexpr uint8_t kFieldTypeBlob = 3;
inline constexpr uint8_t kFieldTypeInteger = 6;
inline constexpr uint8_t kFieldTypeBCD = 8;
inline constexpr uint8_t kFieldTypeBytes = 9;
inline constexpr uint8_t kFieldTypeVarBytes = 15;
inline constexpr uint8_t kFieldSubTypeAutoInc = 29;

// Longest declared size of a string or bytes field.
inline constexpr uint8_t kMaxFieldSize = 250;
inline constexpr size_t kFieldNameLength = 30;
inline constexpr size_t kFieldTextLength = 50;
inline constexpr size_t kQualifiedNameLength = 100;

// Record offset of the auto-increment field: it shares the record's unique id.
inline constexpr uint16_t kAutoIncFieldOffset = 5;

class TFieldDescriptor {
 public:
  static constexpr size_t kSize = kFieldDescriptorSize;

  TFieldDescriptor() { bytes_.fill(0); }

  uint8_t* Bytes() { return bytes_.data(); }
  const uint8_t* Bytes() const { return bytes_.data(); }
  std::span<uint8_t> Span() { return bytes_; }
  std::span<const uint8_t> Span() const { return bytes_; }

  uint16_t FieldNumber() const { return get16(0); }
  void SetFieldNumber(uint16_t n) { put16(0, n); }
  std::string Name() const { return getText(2, kFieldNameLength); }
  // The name as stored, valid while the descriptor lives unchanged.
  std::string_view NameView() const {
    return {reinterpret_cast<const char*>(bytes_.data() + 3), std::min<size_t>(bytes_[2], kFieldNameLength)};
  }
  // The text is cut to 30 bytes, never inside a character.
  void SetName(std::string_view name) { putText(2, kFieldNameLength, name); }
  std::string Description() const { return getText(33, kFieldTextLength); }
  void SetDescription(std::string_view text) { putText(33, kFieldTextLength, text); }
  uint8_t Type() const { return bytes_[84]; }
  void SetType(uint8_t t) { bytes_[84] = t; }
  uint8_t SubType() const { return bytes_[85]; }
  void SetSubType(uint8_t t) { bytes_[85] = t; }
  uint8_t Size() const { return bytes_[86]; }
  void SetSize(uint8_t s) { bytes_[86] = s; }
  uint8_t Scale() const { return bytes_[87]; }
  void SetScale(uint8_t s) { bytes_[87] = s; }
  uint8_t StoredSize() const { return bytes_[88]; }
  void SetStoredSize(uint8_t s) { bytes_[88] = s; }
  uint8_t StoredScale() const { return bytes_[89]; }
  void SetStoredScale(uint8_t s) { bytes_[89] = s; }
  uint16_t Offset() const { return get16(90); }
  void SetOffset(uint16_t o) { put16(90, o); }
  uint8_t Required() const { return bytes_[92]; }
  void SetRequired(uint8_t r) { bytes_[92] = r; }
  uint8_t CaseRule() const { return bytes_[93]; }
  void SetCaseRule(uint8_t c) { bytes_[93] = c; }
  std::string MinText() const { return getText(94, kFieldTextLength); }
  void SetMinText(std::string_view t) { putText(94, kFieldTextLength, t); }
  std::string MaxText() const { return getText(145, kFieldTextLength); }
  void SetMaxText(std::string_view t) { putText(145, kFieldTextLength, t); }
  std::string DefaultText() const { return getText(196, kFieldTextLength); }
  void SetDefaultText(std::string_view t) { putText(196, kFieldTextLength, t); }
  // The texts are not empty (without copying them out).
  bool HasMinText() const { return bytes_[94] != 0; }
  bool HasMaxText() const { return bytes_[145] != 0; }
  bool HasDefaultText() const { return bytes_[196] != 0; }
  bool Computed() const { return bytes_[247] != 0; }
  void SetComputed(bool c) { bytes_[247] = c ? 1 : 0; }
  bool Hidden() const { return bytes_[252] != 0; }
  void SetHidden(bool h) { bytes_[252] = h ? 1 : 0; }
  bool Descending() const { return bytes_[253] != 0; }
  void SetDescending(bool d) { bytes_[253] = d ? 1 : 0; }
  std::string QualifiedName() const { return getText(254, kQualifiedNameLength); }
  void SetQualifiedName(std::string_view name) { putText(254, kQualifiedNameLength, name); }
  uint16_t TableFieldNo() const { return get16(355); }
  void SetTableFieldNo(uint16_t n) { put16(355, n); }

  bool IsAutoInc() const { return Type() == kFieldTypeInteger && SubType() == kFieldSubTypeAutoInc; }
  bool IsBlob() const { return Type() == kFieldTypeBlob; }
  // True when the field has bytes of its own in the record (not auto-increment, not computed).
  bool TakesRecordRoom() const { return !IsAutoInc() && !Computed(); }

  // The raw length byte of a string field at `offset` (for checks of damaged descriptors).
  uint8_t TextLengthByte(size_t offset) const { return bytes_[offset]; }

  friend bool operator==(const TFieldDescriptor& a, const TFieldDescriptor& b) {
    return a.bytes_ == b.bytes_;
  }

 private:
  uint16_t get16(size_t at) const { return platform::get2(bytes_.data() + at); }
  void put16(size_t at, uint16_t v) { platform::put2(bytes_.data() + at, v); }
  std::string getText(size_t at, size_t capacity) const;
  void putText(size_t at, size_t capacity, std::string_view text);

  std::array<uint8_t, kSize> bytes_;
};

// Shortstring helpers of the engine's on-disk texts: a length byte followed by `capacity` bytes.
// Reading takes at most `capacity` bytes whatever the length byte says; writing cuts the text to
// `capacity` bytes at a character boundary and zeroes the rest.
std::string GetShortString(const uint8_t* p, size_t capacity);
void PutShortString(uint8_t* p, size_t capacity, std::string_view text);

}  // namespace engine
