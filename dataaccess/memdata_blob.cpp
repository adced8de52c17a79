#include "dataaccess/memdata_blob.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <new>
#include <ostream>

#include "dataaccess/daconsts.h"

namespace dataaccess {

static_assert(std::endian::native == std::endian::little, "Unicode blobs hold UTF-16LE in native order");

uint32_t DefaultPieceSize = kDefaultPieceSize;

TBlob::TBlob(bool isUnicode) : isUnicode_(isUnicode), pieceSize_(std::max<uint32_t>(DefaultPieceSize, 2)) {}

TBlob::~TBlob() {
  mark_ = 0;
  cached_ = false;
  freePieces();
  ReleaseObject(rollback_);
}

void TBlob::CheckValid() const {
  if (mark_ != kValidMark) RaiseMemDataError(SInvalidBlob);
}

void TBlob::CheckCached() const {
  if (!cached_) RaiseMemDataError(SBlobMustBeCached);
}

PPieceHeader TBlob::AllocPiece(uint32_t capacity) {
  DA_ASSERT(capacity > 0, "Piece capacity must be above 0");
  void* memory = std::malloc(sizeof(TPieceHeader) + capacity);
  if (!memory) throw std::bad_alloc();
  auto* piece = new (memory) TPieceHeader;
  piece->Size = capacity;
  return piece;
}

void TBlob::FreePiece(PPieceHeader piece) {
  if (!piece) return;
  DA_ASSERT(piece->Blob == nullptr, "Freeing a linked piece");
  piece->~TPieceHeader();
  std::free(piece);
}

void TBlob::AppendPiece(PPieceHeader piece) {
  DA_ASSERT(piece && piece->Blob == nullptr, "Appending a linked piece");
  piece->Blob = this;
  piece->Next = nullptr;
  piece->Prev = lastPiece();
  if (piece->Prev)
    piece->Prev->Next = piece;
  else
    firstPiece_ = piece;
}

void TBlob::DeletePiece(PPieceHeader piece) {
  DA_ASSERT(piece && piece->Blob == this, "Piece of another blob");
  if (piece->Prev)
    piece->Prev->Next = piece->Next;
  else
    firstPiece_ = piece->Next;
  if (piece->Next) piece->Next->Prev = piece->Prev;
  piece->Blob = nullptr;
  FreePiece(piece);
}

void TBlob::ReallocPiece(PPieceHeader& piece, uint32_t capacity) {
  DA_ASSERT(piece && (piece->Blob == this || piece->Blob == nullptr), "Piece of another blob");
  if (capacity == 0) {
    if (piece->Blob)
      DeletePiece(piece);
    else
      FreePiece(piece);
    piece = nullptr;
    return;
  }
  void* memory = std::realloc(piece, sizeof(TPieceHeader) + capacity);
  if (!memory) throw std::bad_alloc();
  piece = static_cast<PPieceHeader>(memory);
  piece->Size = capacity;
  piece->Used = std::min(piece->Used, capacity);
  if (piece->Blob) {
    if (piece->Prev)
      piece->Prev->Next = piece;
    else
      firstPiece_ = piece;
    if (piece->Next) piece->Next->Prev = piece;
  }
}

void TBlob::freePieces() {
  while (firstPiece_) DeletePiece(firstPiece_);
}

PPieceHeader TBlob::lastPiece() const {
  PPieceHeader p = firstPiece_;
  while (p && p->Next) p = p->Next;
  return p;
}

uint64_t TBlob::GetSize() const {
  uint64_t size = 0;
  for (PPieceHeader p = firstPiece_; p; p = p->Next) size += p->Used;
  return size;
}

uint64_t TBlob::Read(uint64_t position, uint64_t count, void* dest) {
  CheckValid();
  CheckValue();
  auto* out = static_cast<char*>(dest);
  uint64_t copied = 0;
  uint64_t offset = 0;
  if (count == 0) count = UINT64_MAX;
  for (PPieceHeader p = firstPiece_; p && copied < count; p = p->Next) {
    if (position < offset + p->Used) {
      const uint64_t at = position - offset;
      const uint64_t n = std::min<uint64_t>(count - copied, p->Used - at);
      std::memcpy(out + copied, p->Data() + at, n);
      copied += n;
      position += n;
    }
    offset += p->Used;
  }
  return copied;
}

void TBlob::beforeChange() {
  CheckValid();
  if (cached_ && !rollback_) SaveToRollback();
}

void TBlob::SaveToRollback() {
  CheckCached();
  TBlob* copy = new TBlob(isUnicode_);
  for (PPieceHeader p = firstPiece_; p; p = p->Next) {
    if (p->Used == 0) continue;
    PPieceHeader piece = AllocPiece(p->Used);
    std::memcpy(piece->Data(), p->Data(), p->Used);
    piece->Used = p->Used;
    copy->AppendPiece(piece);
  }
  ReleaseObject(rollback_);
  rollback_ = copy;
}

void TBlob::Commit() {
  CheckValid();
  ReleaseObject(rollback_);
  rollback_ = nullptr;
  cached_ = false;
}

void TBlob::Cancel() {
  CheckValid();
  if (rollback_) {
    std::swap(firstPiece_, rollback_->firstPiece_);
    for (PPieceHeader p = firstPiece_; p; p = p->Next) p->Blob = this;
    for (PPieceHeader p = rollback_->firstPiece_; p; p = p->Next) p->Blob = rollback_;
    rollback_->Release();
    rollback_ = nullptr;
  }
  cached_ = false;
}

void TBlob::append(const char* source, uint64_t count) {
  PPieceHeader last = lastPiece();
  while (count > 0) {
    if (!last || last->Used == last->Size) {
      last = AllocPiece(uint32_t(std::min<uint64_t>(count, pieceSize_)));
      AppendPiece(last);
    }
    const uint32_t n = uint32_t(std::min<uint64_t>(count, last->Size - last->Used));
    if (source) {
      std::memcpy(last->Data() + last->Used, source, n);
      source += n;
    } else {
      std::memset(last->Data() + last->Used, 0, n);
    }
    last->Used += n;
    count -= n;
  }
}

void TBlob::Write(uint64_t position, uint64_t count, const void* source) {
  beforeChange();
  const uint64_t size = GetSize();
  if (position > size) append(nullptr, position - size);
  const auto* in = static_cast<const char*>(source);
  uint64_t offset = 0;
  // Appending (the common case) overwrites nothing.
  for (PPieceHeader p = position < size ? firstPiece_ : nullptr; p && count > 0; p = p->Next) {
    if (position < offset + p->Used) {
      const uint64_t at = position - offset;
      const uint64_t n = std::min<uint64_t>(count, p->Used - at);
      std::memcpy(p->Data() + at, in, n);
      in += n;
      count -= n;
      position += n;
    }
    offset += p->Used;
  }
  append(in, count);
}

void TBlob::Clear() {
  beforeChange();
  freePieces();
}

void TBlob::Truncate(uint64_t newSize) {
  beforeChange();
  uint64_t offset = 0;
  PPieceHeader p = firstPiece_;
  for (; p && offset + p->Used <= newSize; p = p->Next) offset += p->Used;
  if (!p) return;
  p->Used = uint32_t(newSize - offset);
  while (p->Next) DeletePiece(p->Next);
  if (p->Used == 0) DeletePiece(p);
}

void TBlob::Compress() {
  CheckValid();
  for (PPieceHeader p = firstPiece_; p;) {
    PPieceHeader next = p->Next;
    CompressPiece(p);
    p = next;
  }
}

void TBlob::LoadFromStream(std::istream& stream) {
  Clear();
  stream.clear();
  stream.seekg(0);
  char buffer[65536];
  while (stream) {
    stream.read(buffer, sizeof buffer);
    append(buffer, uint64_t(stream.gcount()));
  }
}

void TBlob::SaveToStream(std::ostream& stream) {
  CheckValid();
  CheckValue();
  for (PPieceHeader p = firstPiece_; p; p = p->Next) stream.write(p->Data(), p->Used);
}

void TBlob::SetIsUnicode(bool value) {
  if (value == isUnicode_) return;
  if (GetSize() > 0) RaiseMemDataError(SCannotChangeIsUnicode);
  isUnicode_ = value;
}

std::string TBlob::AsString() {
  if (isUnicode_) return dataset::utf16ToUtf8(AsWideString());
  // The value is made present before it is measured: a size asked before may count something
  // else than its bytes (characters of a server's text).
  CheckValid();
  CheckValue();
  std::string s(GetSize(), '\0');
  s.resize(Read(0, s.size(), s.data()));
  return s;
}

void TBlob::SetAsString(std::string_view text) {
  if (isUnicode_) return SetAsWideString(dataset::utf8ToUtf16(text));
  Clear();
  Write(0, text.size(), text.data());
}

std::u16string TBlob::AsWideString() {
  if (!isUnicode_) return dataset::utf8ToUtf16(AsString());
  CheckValid();
  CheckValue();
  const uint64_t size = GetSize();
  DA_ASSERT(size % 2 == 0, "Invalid data size");
  std::u16string s(size / 2, u'\0');
  Read(0, 0, s.data());
  return s;
}

void TBlob::SetAsWideString(std::u16string_view text) {
  if (!isUnicode_) return SetAsString(dataset::utf16ToUtf8(text));
  Clear();
  Write(0, text.size() * 2, text.data());
}

// The source chain is taken off the blob and each piece is freed once read, so the rewrite needs
// at most one piece of extra memory beyond its output.
template <class Unit>
void TBlob::rewriteLineBreaks(bool expand) {
  CheckValid();
  CheckValue();
  if (!firstPiece_) return;
  constexpr Unit CR = 13, LF = 10;
  constexpr uint32_t unit = sizeof(Unit);
  uint64_t remaining = GetSize();
  PPieceHeader source = firstPiece_;
  for (PPieceHeader p = source; p; p = p->Next) p->Blob = nullptr;
  firstPiece_ = nullptr;

  PPieceHeader out = nullptr;
  auto room = [&](uint32_t bytes) {
    if (out && out->Size - out->Used >= bytes) return;
    uint64_t capacity;
    if (expand)
      capacity = remaining >= pieceSize_ / 2 ? pieceSize_ : 2 * remaining;
    else
      capacity = remaining >= pieceSize_ ? pieceSize_ : remaining;
    out = AllocPiece(uint32_t(std::max<uint64_t>(capacity, 2 * unit)));
    AppendPiece(out);
  };
  auto put = [&](const Unit* units, uint32_t count) {
    room(count * unit);
    std::memcpy(out->Data() + out->Used, units, count * unit);
    out->Used += count * unit;
  };

  unsigned char partial[unit];
  uint32_t partialBytes = 0;
  bool afterCR = false;  // expanding: the last unit was a CR; collapsing: a CR waits for its LF
  while (source) {
    PPieceHeader next = source->Next;
    const uint32_t used = source->Used;
    for (uint32_t i = 0; i < used; ++i) {
      partial[partialBytes++] = static_cast<unsigned char>(source->Data()[i]);
      if (partialBytes < unit) continue;
      partialBytes = 0;
      remaining -= unit;
      Unit u;
      std::memcpy(&u, partial, unit);
      if (expand) {
        if (u == LF && !afterCR) {
          const Unit pair[2] = {CR, LF};
          put(pair, 2);
        } else {
          put(&u, 1);
        }
        afterCR = u == CR;
      } else if (afterCR) {
        afterCR = u == CR;
        if (u != LF) put(&CR, 1);
        if (u != CR) put(&u, 1);
      } else if (u == CR) {
        afterCR = true;
      } else {
        put(&u, 1);
      }
    }
    FreePiece(source);
    source = next;
  }
  if (!expand && afterCR) put(&CR, 1);
  if (partialBytes) {
    room(partialBytes);
    std::memcpy(out->Data() + out->Used, partial, partialBytes);
    out->Used += partialBytes;
  }
}

void TBlob::ExpandLineFeeds() {
  if (isUnicode_)
    rewriteLineBreaks<char16_t>(true);
  else
    rewriteLineBreaks<char>(true);
}

void TBlob::CollapseLineBreaks() {
  if (isUnicode_)
    rewriteLineBreaks<char16_t>(false);
  else
    rewriteLineBreaks<char>(false);
}

}  // namespace dataaccess
