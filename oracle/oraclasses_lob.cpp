// LOB values over their locators.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "oracle/oraclasses.h"

namespace oracle {

namespace {

// The upper-cased name of the character set `name` stands for: itself, or when empty the client's
// own, the part of NLS_LANG (LANGUAGE_TERRITORY.CHARSET) after its "."; empty when none is named.
std::string clientCharsetName(std::string_view name) {
  if (name.empty()) {
    const char* lang = std::getenv("NLS_LANG");
    const std::string_view text = lang != nullptr ? lang : "";
    const size_t dot = text.find('.');
    if (dot != std::string_view::npos) name = text.substr(dot + 1);
  }
  std::string upper;
  for (char c : name) upper += char(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

TClientTextEncoding textEncodingOfName(const std::string& upper) {
  if (upper.empty() || upper.find("UTF8") != std::string::npos) return TClientTextEncoding::Utf8;
  const size_t digit = upper.find_first_of("0123456789");
  if (digit != std::string::npos) {
    const size_t end = upper.find_first_not_of("0123456789", digit);
    const std::string bits = upper.substr(digit, end == std::string::npos ? std::string::npos : end - digit);
    if (bits == "7" || bits == "8") return TClientTextEncoding::SingleByte;
  }
  return TClientTextEncoding::MultiByte;
}

}  // namespace

TClientTextEncoding ClientTextEncoding(std::string_view name) {
  return textEncodingOfName(clientCharsetName(name));
}

dataset::NarrowText NarrowTextOfCharset(std::string_view name) {
  const std::string upper = clientCharsetName(name);
  switch (textEncodingOfName(upper)) {
    case TClientTextEncoding::Utf8:
      return dataset::NarrowText::Utf8;
    case TClientTextEncoding::SingleByte:
      return dataset::NarrowText::SingleByte;
    case TClientTextEncoding::MultiByte:
      break;
  }
  using enum dataset::NarrowText;
  static constexpr std::pair<std::string_view, dataset::NarrowText> sets[] = {
      {"JA16SJIS", ShiftJis},    {"JA16SJISTILDE", ShiftJis}, {"JA16SJISYEN", ShiftJis},
      {"JA16EUC", EucJp},        {"JA16EUCTILDE", EucJp},     {"JA16EUCYEN", EucJp},
      {"ZHT32EUC", EucTw},       {"ZHS16GBK", Lead81},        {"ZHT16BIG5", Lead81},
      {"ZHT16MSWIN950", Lead81}, {"ZHT16HKSCS", Lead81},      {"ZHT16HKSCS31", Lead81},
      {"KO16MSWIN949", Lead81},  {"KO16KSC5601", LeadA1},     {"ZHS16CGB231280", LeadA1},
      {"ZHS32GB18030", Gb18030},
  };
  for (const auto& [set, encoding] : sets)
    if (set == upper) return encoding;
  return Utf8;
}

TClientTextEncoding TOCIConnection::TextEncoding() const {
  return ClientTextEncoding(charsetId_ != 0 ? charset_ : std::string());
}

dataset::NarrowText TOCIConnection::NarrowTextEncoding() const {
  return NarrowTextOfCharset(charsetId_ != 0 ? charset_ : std::string());
}

TOraLob::TOraLob(void* svcCtx, bool isUnicode) : dataaccess::TBlob(isUnicode), svcCtx_(svcCtx) {}

void TOraLob::SetTextCharset(const TOCIConnection& connection) {
  textCharsetId_ = connection.GetCharsetId();
  textEncoding_ = connection.TextEncoding();
}

TOraLob::~TOraLob() {
  FreeLob();
}

void TOraLob::AllocLob() {
  if (staleLocator()) FreeLob();
  if (locator_ != nullptr) return;
  if (!OCIInited) OCIInit();
  locatorType_ = DescriptorType();
  Check(OCIDescriptorAlloc(hOCIEnv, &locator_, locatorType_, 0, nullptr), hOCIError);
  locatorGeneration_ = OCIEnvironmentGeneration;
  allocated_ = true;
  ub4 plain = 0;
  Check(OCIAttrSet(locator_, locatorType_, &plain, 0, 45, hOCIError), hOCIError);
}

void TOraLob::FreeLob() {
  if (allocated_ && locator_ != nullptr && !staleLocator()) OCIDescriptorFree(locator_, locatorType_);
  locator_ = nullptr;
  form_ = 0;
  allocated_ = false;
}

void TOraLob::CreateTemporary(uint8_t lobType) {
  if (!OCIInited) OCIInit();
  FreeLob();
  AllocLob();
  Check(OCILobCreateTemporary(svcCtx_, hOCIError, locator_, 0, 0, lobType, 0, 10), hOCIError);
  form_ = lobType == 1 || lobType == 2 ? 1 : 2;
}

bool TOraLob::IsInit() const {
  if (staleLocator()) return false;
  int init = 0;
  Check(OCILobLocatorIsInit(hOCIEnv, hOCIError, locator_, &init), hOCIError);
  return init != 0;
}

void TOraLob::refuseLost() const {
  if (staleLocator()) RaiseError("The LOB value was lost with the client of another Oracle home");
}

void TOraLob::CheckLob() const {
  refuseLost();
  if (locator_ == nullptr) RaiseError("Lob is not allocated");
  if (svcCtx_ == nullptr) RaiseError("OCISvcCtx is not defined");
  if (!IsInit()) RaiseError("Lob locator should be inited");
}

ub1 TOraLob::CharsetForm() const {
  if (form_ == 0) Check(OCILobCharSetForm(hOCIEnv, hOCIError, locator_, &form_), hOCIError);
  return form_;
}

uint32_t TOraLob::LengthLob() const {
  refuseLost();
  if (locator_ == nullptr || !IsInit()) return 0;
  if (svcCtx_ == nullptr) RaiseError("OCISvcCtx is not defined");
  ub4 length = 0;
  Check(OCILobGetLength(svcCtx_, hOCIError, locator_, &length), hOCIError);
  return length;
}

void TOraLob::ReadLob() {
  refuseLost();
  if (locator_ == nullptr || svcCtx_ == nullptr || !IsInit()) return;
  const uint32_t length = LengthLob();
  if (length == 0) {
    NeedsReading = false;
    return;
  }
  const ub1 form = CharsetForm();
  Clear();
  const uint32_t unit = IsUnicode() ? 2 : 1;
  sword status;
  do {
    dataaccess::PPieceHeader piece = AllocPiece(PieceSize());
    ub4 amount = 0;
    status = OCILobRead(svcCtx_, hOCIError, locator_, &amount, 1, piece->Data(), piece->Size, nullptr,
                        nullptr, CharsetId(), form);
    if (status != OCI_SUCCESS && status != OCI_NEED_DATA) {
      FreePiece(piece);
      Check(status, hOCIError);
    }
    if (amount == 0) {
      FreePiece(piece);
      break;
    }
    piece->Used = amount * unit;
    AppendPiece(piece);
  } while (status != OCI_SUCCESS);
  NeedsReading = false;
}

void TOraLob::WriteLob() {
  CheckLob();
  const ub1 form = CharsetForm();
  Check(OCILobTrim(svcCtx_, hOCIError, locator_, 0), hOCIError);
  const uint32_t unit = IsUnicode() ? 2 : 1;
  ub4 offset = 1;
  auto write = [&](char* data, uint32_t bytes) {
    ub4 amount = bytes / unit;
    Check(OCILobWrite(svcCtx_, hOCIError, locator_, &amount, offset, data, bytes, 0, nullptr, nullptr,
                      CharsetId(), form),
          hOCIError);
    offset += amount;
  };
  if (IsUnicode() || textEncoding_ == TClientTextEncoding::SingleByte) {
    for (dataaccess::PPieceHeader piece = FirstPiece(); piece != nullptr; piece = piece->Next)
      write(piece->Data(), piece->Used);
    return;
  }
  if (textEncoding_ == TClientTextEncoding::MultiByte) {
    // Where its characters end is the client library's knowledge: the text goes in one write.
    std::string whole;
    for (dataaccess::PPieceHeader piece = FirstPiece(); piece != nullptr; piece = piece->Next)
      whole.append(piece->Data(), piece->Used);
    if (!whole.empty()) write(whole.data(), uint32_t(whole.size()));
    return;
  }
  // Pieces end at any byte, and each write is taken as whole characters: the bytes of a
  // multi-byte character that a piece ends inside go with the next write.
  std::string pending;
  for (dataaccess::PPieceHeader piece = FirstPiece(); piece != nullptr; piece = piece->Next) {
    pending.append(piece->Data(), piece->Used);
    size_t cut = pending.size();
    for (size_t back = 1; back <= 3 && back <= pending.size(); ++back) {
      const auto c = uint8_t(pending[pending.size() - back]);
      if (c < 0x80) break;
      if (c < 0xC0) continue;
      const size_t length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      if (length > back) cut = pending.size() - back;
      break;
    }
    if (cut == 0) continue;
    write(pending.data(), uint32_t(cut));
    pending.erase(0, cut);
  }
  if (!pending.empty()) write(pending.data(), uint32_t(pending.size()));
}

void TOraLob::CheckValue() {
  if (NeedsReading) ReadLob();
}

uint64_t TOraLob::GetSize() const {
  // A BFILE keeps its own size rules: its locator answers only while the file is open.
  if (!cachedLob_ && locatorType_ == OCI_DTYPE_LOB) return serverBytes();
  return NeedsReading ? LengthLob() : TBlob::GetSize();
}

uint64_t TOraLob::serverBytes() const {
  refuseLost();
  if (locator_ == nullptr || !IsInit()) return 0;
  const uint64_t length = LengthLob();
  if (length == 0 || CharsetForm() == 0) return length;
  if (IsUnicode()) return length * 2;
  return clobBytes(0, UINT64_MAX, nullptr);
}

uint64_t TOraLob::clobBytes(uint64_t position, uint64_t count, char* dest) const {
  CheckLob();
  const ub1 form = CharsetForm();
  if (textEncoding_ == TClientTextEncoding::MultiByte) return streamedClobBytes(position, count, dest);
  // The server places a read by characters, so the text is walked from its start in whole
  // characters; a buffer of four bytes a character holds every character a chunk asks for.
  constexpr ub4 kChunkCharacters = 4096;
  std::vector<char> chunk(kChunkCharacters * 4);
  ub4 offset = 1;
  uint64_t at = 0;  // the byte where the chunk starts
  uint64_t copied = 0;
  while (copied < count) {
    ub4 amount = kChunkCharacters;
    Check(OCILobRead(svcCtx_, hOCIError, locator_, &amount, offset, chunk.data(), ub4(chunk.size()), nullptr,
                     nullptr, CharsetId(), form),
          hOCIError);
    if (amount == 0) break;
    if (at + amount > position) {
      const uint64_t from = position > at ? position - at : 0;
      const uint64_t n = std::min<uint64_t>(count - copied, amount - from);
      if (dest != nullptr) std::memcpy(dest + copied, chunk.data() + from, n);
      copied += n;
    }
    at += amount;
    if (textEncoding_ == TClientTextEncoding::SingleByte) {
      offset += amount;
      continue;
    }
    // A character outside the basic plane is two of the server's characters, as in its length.
    for (ub4 i = 0; i < amount; ++i) {
      const auto c = uint8_t(chunk[i]);
      if ((c & 0xC0) != 0x80) offset += c >= 0xF0 ? 2 : 1;
    }
  }
  return copied;
}

uint64_t TOraLob::streamedClobBytes(uint64_t position, uint64_t count, char* dest) const {
  // The server keeps the place of a streamed read, so no character needs counting; the stream
  // is read to its end, as a stream left part way would hold the locator.
  std::vector<char> chunk(PieceSize());
  uint64_t at = 0;
  uint64_t copied = 0;
  sword status;
  do {
    ub4 amount = 0;
    status = OCILobRead(svcCtx_, hOCIError, locator_, &amount, 1, chunk.data(), ub4(chunk.size()), nullptr,
                        nullptr, CharsetId(), CharsetForm());
    if (status != OCI_SUCCESS && status != OCI_NEED_DATA) Check(status, hOCIError);
    if (amount == 0) break;
    if (copied < count && at + amount > position) {
      const uint64_t from = position > at ? position - at : 0;
      const uint64_t n = std::min<uint64_t>(count - copied, amount - from);
      if (dest != nullptr) std::memcpy(dest + copied, chunk.data() + from, n);
      copied += n;
    }
    at += amount;
  } while (status != OCI_SUCCESS);
  return copied;
}

uint64_t TOraLob::Read(uint64_t position, uint64_t count, void* dest) {
  if (cachedLob_) {
    CheckValue();
    return TBlob::Read(position, count, dest);
  }
  refuseLost();
  if (count == 0) {
    if (locator_ == nullptr || !IsInit()) return 0;  // a NULL LOB: nothing to the end
    const uint64_t size = serverBytes();
    const uint64_t start = IsUnicode() ? position * 2 : position;
    if (start >= size) return 0;
    count = size - start;
  }
  CheckLob();
  if (locatorType_ == OCI_DTYPE_LOB && !IsUnicode() && CharsetForm() != 0)
    return clobBytes(position, count, static_cast<char*>(dest));
  const uint32_t unit = IsUnicode() ? 2 : 1;
  ub4 amount = ub4(count / unit);
  if (amount == 0) return 0;
  Check(OCILobRead(svcCtx_, hOCIError, locator_, &amount, ub4(position + 1), dest, ub4(count), nullptr,
                   nullptr, CharsetId(), CharsetForm()),
        hOCIError);
  return uint64_t(amount) * unit;
}

void TOraLob::Write(uint64_t position, uint64_t count, const void* source) {
  cachedLob_ = true;
  TBlob::Write(position, count, source);
}

void TOraLob::LoadFromStream(std::istream& stream) {
  cachedLob_ = true;
  TBlob::LoadFromStream(stream);
}

void TOraLob::SaveToStream(std::ostream& stream) {
  if (!cachedLob_) refuseLost();
  if (cachedLob_ || locator_ == nullptr || !IsInit()) {
    CheckValue();
    TBlob::SaveToStream(stream);
    return;
  }
  // The server counts a CLOB's positions in characters, while a chunk holds bytes, several to a
  // character in a multi-byte client character set: the value is streamed, the server keeping the
  // position, so that no chunk starts anywhere but where the last one ended.
  const uint32_t unit = IsUnicode() ? 2 : 1;
  if (LengthLob() == 0) return;
  CheckLob();
  const ub1 form = CharsetForm();
  std::vector<char> chunk(PieceSize() - PieceSize() % unit);
  sword status;
  do {
    ub4 amount = 0;
    status = OCILobRead(svcCtx_, hOCIError, locator_, &amount, 1, chunk.data(), ub4(chunk.size()), nullptr,
                        nullptr, CharsetId(), form);
    if (status != OCI_SUCCESS && status != OCI_NEED_DATA) Check(status, hOCIError);
    if (amount == 0) break;
    stream.write(chunk.data(), std::streamsize(amount * unit));
  } while (status != OCI_SUCCESS);
}

void TOraLob::SetCached(bool value) {
  if (!value && cachedLob_ && TBlob::GetSize() > 0)
    RaiseError("Cannot disable lob caching. Lob is not empty.");
  cachedLob_ = value;
}

}  // namespace oracle

namespace oracle {

namespace {
constexpr int kNoSuchDirectoryOrFile = 22285;
// Directory aliases are identifiers; file names are limited by the server to this length.
constexpr ub2 kDirectoryAliasLength = 30;
constexpr ub2 kFileNameLength = 255;
}  // namespace

TOraFile::~TOraFile() {
  if (opened_ && Locator() != nullptr) OCILobFileClose(svcCtx(), hOCIError, Locator());
}

void TOraFile::readName() {
  refuseLost();
  if (Locator() == nullptr || !IsInit()) {
    dir_.clear();
    name_.clear();
    return;
  }
  char dir[kDirectoryAliasLength + 1], name[kFileNameLength + 1];
  ub2 dirLength = kDirectoryAliasLength, nameLength = kFileNameLength;
  Check(OCILobFileGetName(hOCIEnv, hOCIError, Locator(), reinterpret_cast<OraText*>(dir), &dirLength,
                          reinterpret_cast<OraText*>(name), &nameLength),
        hOCIError);
  dir_.assign(dir, dirLength);
  name_.assign(name, nameLength);
}

std::string TOraFile::FileDir() {
  readName();
  return dir_;
}

std::string TOraFile::FileName() {
  readName();
  return name_;
}

void TOraFile::setName(const std::string& dir, const std::string& name) {
  newDir_ = dir;
  newName_ = name;
  nameChanged_ = true;
  if (Locator() == nullptr) return;
  void* locator = Locator();
  Check(OCILobFileSetName(hOCIEnv, hOCIError, &locator, reinterpret_cast<const OraText*>(dir.data()),
                          ub2(dir.size()), reinterpret_cast<const OraText*>(name.data()), ub2(name.size())),
        hOCIError);
  nameChanged_ = false;
  opened_ = false;
}

void TOraFile::SetFileDir(const std::string& value) {
  setName(value, nameChanged_ ? newName_ : FileName());
}

void TOraFile::SetFileName(const std::string& value) {
  setName(nameChanged_ ? newDir_ : FileDir(), value);
}

bool TOraFile::IsNull() {
  refuseLost();
  return Locator() == nullptr || FileName().empty();
}

bool TOraFile::Exists() {
  refuseLost();
  if (Locator() == nullptr || !IsInit() || FileName().empty()) return false;
  int flag = 0;
  const sword status = OCILobFileExists(svcCtx(), hOCIError, Locator(), &flag);
  if (status == OCI_SUCCESS) return flag != 0;
  try {
    Check(status, hOCIError);
  } catch (const EOraError& e) {
    if (e.ErrorCode == kNoSuchDirectoryOrFile) return false;
    throw;
  }
  return false;
}

void TOraFile::Open() {
  if (Locator() == nullptr || !IsInit()) return;
  Check(OCILobFileOpen(svcCtx(), hOCIError, Locator(), 1), hOCIError);
  opened_ = true;
}

void TOraFile::Close() {
  if (!opened_) return;
  opened_ = false;
  if (Locator() == nullptr) return;  // the file went with the session's environment
  Check(OCILobFileClose(svcCtx(), hOCIError, Locator()), hOCIError);
}

void TOraFile::Refresh() {
  if (nameChanged_ && Locator() != nullptr) setName(newDir_, newName_);
  if (!opened_ && Exists()) Open();
}

}  // namespace oracle
