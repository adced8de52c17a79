// LOB values over their locators.
#include <istream>
#include <ostream>
#include <vector>

#include "oracle/oraclasses.h"

namespace oracle {

TOraLob::TOraLob(void* svcCtx, bool isUnicode) : dataaccess::TBlob(isUnicode), svcCtx_(svcCtx) {}

TOraLob::~TOraLob() {
  FreeLob();
}

void TOraLob::AllocLob() {
  if (locator_ != nullptr) return;
  if (!OCIInited) OCIInit();
  Check(OCIDescriptorAlloc(hOCIEnv, &locator_, DescriptorType(), 0, nullptr), hOCIError);
  allocated_ = true;
  ub4 plain = 0;
  Check(OCIAttrSet(locator_, DescriptorType(), &plain, 0, 45, hOCIError), hOCIError);
}

void TOraLob::FreeLob() {
  if (allocated_ && locator_ != nullptr) OCIDescriptorFree(locator_, DescriptorType());
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
  int init = 0;
  Check(OCILobLocatorIsInit(hOCIEnv, hOCIError, locator_, &init), hOCIError);
  return init != 0;
}

void TOraLob::CheckLob() const {
  if (locator_ == nullptr) RaiseError("Lob is not allocated");
  if (svcCtx_ == nullptr) RaiseError("OCISvcCtx is not defined");
  if (!IsInit()) RaiseError("Lob locator should be inited");
}

ub1 TOraLob::CharsetForm() {
  if (form_ == 0) Check(OCILobCharSetForm(hOCIEnv, hOCIError, locator_, &form_), hOCIError);
  return form_;
}

uint32_t TOraLob::LengthLob() const {
  if (locator_ == nullptr || !IsInit()) return 0;
  if (svcCtx_ == nullptr) RaiseError("OCISvcCtx is not defined");
  ub4 length = 0;
  Check(OCILobGetLength(svcCtx_, hOCIError, locator_, &length), hOCIError);
  return length;
}

void TOraLob::ReadLob() {
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
  for (dataaccess::PPieceHeader piece = FirstPiece(); piece != nullptr; piece = piece->Next) {
    ub4 amount = piece->Used / unit;
    Check(OCILobWrite(svcCtx_, hOCIError, locator_, &amount, offset, piece->Data(), piece->Used, 0, nullptr,
                      nullptr, CharsetId(), form),
          hOCIError);
    offset += amount;
  }
}

void TOraLob::CheckValue() {
  if (NeedsReading) ReadLob();
}

uint64_t TOraLob::GetSize() const {
  return NeedsReading ? LengthLob() : TBlob::GetSize();
}

uint64_t TOraLob::Read(uint64_t position, uint64_t count, void* dest) {
  if (cachedLob_) {
    CheckValue();
    return TBlob::Read(position, count, dest);
  }
  CheckLob();
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
  if (cachedLob_ || locator_ == nullptr || !IsInit()) {
    CheckValue();
    TBlob::SaveToStream(stream);
    return;
  }
  // Positions and the length count characters for a Unicode CLOB while a chunk is bytes: the
  // running position advances by what each chunk holds in those units.
  const uint32_t unit = IsUnicode() ? 2 : 1;
  const uint64_t length = LengthLob();
  std::vector<char> chunk(PieceSize() - PieceSize() % unit);
  for (uint64_t position = 0; position < length;) {
    const uint64_t bytes = Read(position, chunk.size(), chunk.data());
    if (bytes == 0) break;
    stream.write(chunk.data(), std::streamsize(bytes));
    position += bytes / unit;
  }
}

void TOraLob::SetCached(bool value) {
  if (!value && cachedLob_ && TBlob::GetSize() > 0)
    RaiseError("Cannot disable lob caching. Lob is not empty.");
  cachedLob_ = value;
}

}  // namespace oracle
