// A large binary or text value held as a chain of pieces.
//
// Each piece has a capacity and a used length; the value is the used bytes of the pieces in
// chain order. Writes fill the existing pieces, then the spare room of the last one, then append
// pieces of PieceSize (taken from DefaultPieceSize when the blob is made) or less. A Unicode blob
// holds UTF-16 text, little-endian.
//
// Rollback: after EnableRollback the first change keeps a copy of the content (the rollback
// copy); Commit drops the copy, Cancel brings it back. The blob keeps its content across that
// first change, so a write in the middle or a truncation changes only what it names.
//
// Writing past the end fills the gap with zero bytes.
//
// Errors: using a destroyed blob raises "Invalid BLOB."; asking for the rollback copy outside
// cached mode raises "Blob must be in cached mode."; switching IsUnicode on a blob that holds
// data raises "Cannot change IsUnicode if Size > 0" (all EMemDataError). A zero-capacity piece,
// a piece of another blob and an odd-sized Unicode text are EDAAssertionFailed.
//
// Not thread-safe; the reference count is (see TSharedObject).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

#include "dataaccess/memdata_shared.h"

namespace dataaccess {

class TBlob;

// The library-wide capacity of new pieces: a piece with its header fills 64 KiB.
inline constexpr uint32_t kDefaultPieceSize = 65514;
extern uint32_t DefaultPieceSize;

struct TPieceHeader {
  TBlob* Blob = nullptr;  // owner; nullptr while the piece is not linked
  uint32_t Size = 0;      // capacity of the data part
  uint32_t Used = 0;
  TPieceHeader* Prev = nullptr;
  TPieceHeader* Next = nullptr;

  char* Data() { return reinterpret_cast<char*>(this + 1); }
};
using PPieceHeader = TPieceHeader*;

class TBlob : public TSharedObject {
 public:
  explicit TBlob(bool isUnicode = false);

  // Makes the value present before it is read; drivers that load on demand override it.
  virtual void CheckValue() {}
  virtual uint64_t GetSize() const;
  // Copies [position, position + count) into dest; count 0 reads to the end. Returns the bytes
  // copied (0 at or past the end).
  virtual uint64_t Read(uint64_t position, uint64_t count, void* dest);
  virtual void Write(uint64_t position, uint64_t count, const void* source);
  // Replaces the content with the stream's, read from its start.
  virtual void LoadFromStream(std::istream& stream);
  // Writes the content to the stream at its current position.
  virtual void SaveToStream(std::ostream& stream);
  virtual void Commit();
  virtual void Cancel();

  void Clear();
  // Cuts the content to newSize bytes; a larger size changes nothing.
  void Truncate(uint64_t newSize);
  // Shrinks every piece to its used length.
  void Compress();

  void EnableRollback() { cached_ = true; }
  bool Cached() const { return cached_; }
  void CheckCached() const;
  void CheckValid() const;
  // Keeps a copy of the content as the rollback copy.
  void SaveToRollback();
  TBlob* Rollback() const { return rollback_; }
  // Hands the rollback copy (and its reference) to the caller; the blob keeps no copy.
  TBlob* TakeRollback() { return std::exchange(rollback_, nullptr); }

  bool IsUnicode() const { return isUnicode_; }
  void SetIsUnicode(bool value);
  uint32_t PieceSize() const { return pieceSize_; }

  // The content as UTF-8 text (a Unicode blob is converted) and as UTF-16 text (an ANSI blob is
  // converted); setting either replaces the content in the blob's own form.
  std::string AsString();
  void SetAsString(std::string_view text);
  std::u16string AsWideString();
  void SetAsWideString(std::u16string_view text);

  // Rewrite the content in place: every line feed not after a carriage return gets one, or every
  // carriage return + line feed becomes a line feed. Units are bytes, or 16-bit characters in a
  // Unicode blob; a lone carriage return stays. The rollback copy is not involved.
  void ExpandLineFeeds();
  void CollapseLineBreaks();

  // The piece chain. A piece comes from AllocPiece unlinked; AppendPiece links it at the end,
  // DeletePiece unlinks and frees one of this blob's pieces, FreePiece frees an unlinked one.
  PPieceHeader FirstPiece() const { return firstPiece_; }
  static PPieceHeader AllocPiece(uint32_t capacity);
  // Changes a piece's capacity (Used is cut to it) and relinks its neighbours; 0 deletes it.
  void ReallocPiece(PPieceHeader& piece, uint32_t capacity);
  static void FreePiece(PPieceHeader piece);
  void AppendPiece(PPieceHeader piece);
  void DeletePiece(PPieceHeader piece);
  void CompressPiece(PPieceHeader& piece) { ReallocPiece(piece, piece->Used); }

 protected:
  ~TBlob() override;

 private:
  static constexpr uint8_t kValidMark = 221;

  void beforeChange();
  void freePieces();
  PPieceHeader lastPiece() const;
  // Appends `count` bytes of source, or zeros when source is nullptr.
  void append(const char* source, uint64_t count);
  template <class Unit>
  void rewriteLineBreaks(bool expand);

  PPieceHeader firstPiece_ = nullptr;
  TBlob* rollback_ = nullptr;
  bool cached_ = false;
  bool isUnicode_;
  uint32_t pieceSize_;
  uint8_t mark_ = kValidMark;
};

}  // namespace dataaccess
