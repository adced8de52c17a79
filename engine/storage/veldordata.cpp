#include "engine/storage/veldordata.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <unordered_set>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/base/veldorlocale.h"
#include "engine/storage/veldorcompress.h"
#include "engine/storage/veldorkeys.h"
#include "platform/bytes.h"
#include "platform/debugassert.h"
#include "platform/localclock.h"
#include "platform/oserror.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::ScopeExit;
using platform::UndoOnFailure;

namespace {

// Header offsets.
constexpr size_t kHdrCounter = 0;
constexpr size_t kHdrBlockSize = 4;
constexpr size_t kHdrVersion = 8;
constexpr size_t kHdrFreeHead = 9;
constexpr size_t kHdrNextRecord = 13;
constexpr size_t kHdrLastUniqueId = 17;
constexpr size_t kHdrRecordSize = 21;
constexpr size_t kHdrFieldCount = 23;
constexpr size_t kHdrBlobCount = 25;
constexpr size_t kHdrStamp = 27;
constexpr size_t kHdrDescription = 35;
constexpr size_t kHdrEncrypted = 86;
constexpr size_t kHdrPassword = 87;
constexpr size_t kHdrLanguage = 103;
constexpr size_t kHdrSortId = 105;
constexpr size_t kHdrUserVersion1 = 107;
constexpr size_t kHdrUserVersion2 = 109;
constexpr size_t kHdrDirty = 111;
constexpr size_t kHdrLastAutoInc = 112;
constexpr size_t kHdrFixed31000 = 116;
constexpr size_t kHdrFixedZero = 120;

constexpr size_t kDescriptionLength = 50;
constexpr size_t kPasswordLength = 15;

constexpr size_t kReadAheadBytes = 8192;
constexpr size_t kCacheBytes = 16384;
constexpr size_t kMaxCacheRecords = 8192;
// The cache that the records a cursor finds by a key search may fill: a join's inner rows, found
// again by the statement's next run, where the records of a scan would only pass through.
constexpr size_t kLookupCacheBytes = 65536;
constexpr size_t kCacheGrowStep = 64;
constexpr size_t kRecentProbe = 4;
constexpr size_t kBufferStep = 4096;
// A cursor's read-ahead wish is held to this many bytes per run.
constexpr size_t kMaxRunBytes = size_t(16) << 20;
// The run read aside for a cursor that walks record numbers forward.
constexpr size_t kAsideRunBytes = size_t(64) << 10;

// The local wall clock as days since 1899-12-30 with the time as fraction.
double localDayStamp() {
  using namespace std::chrono;
  const platform::LocalTimeFields f = platform::localNow();
  const sys_days date = year_month_day{year{f.year}, month{unsigned(f.month)}, day{unsigned(f.day)}};
  constexpr double kEpochOffset = 25569.0;  // 1899-12-30 to 1970-01-01
  const double seconds = f.hour * 3600.0 + f.minute * 60.0 + f.second;
  return double(date.time_since_epoch().count()) + kEpochOffset + seconds / 86400.0;
}

void growBuffer(std::vector<uint8_t>& buffer, size_t size) {
  if (buffer.size() >= size) return;
  buffer.resize((size + kBufferStep - 1) / kBufferStep * kBufferStep, 0);
}

// The scrambled or plain short string of an encrypted or plain table.
std::string readHeaderText(const uint8_t* p, size_t capacity, bool scrambled) {
  std::string text = GetShortString(p, capacity);
  if (scrambled && !text.empty())
    UnscrambleBuffer(reinterpret_cast<uint8_t*>(text.data()), text.size(), kTextSeed);
  return text;
}

void writeHeaderText(uint8_t* p, size_t capacity, std::string_view text, bool scrambled) {
  PutShortString(p, capacity, text);
  if (scrambled && p[0] > 0) ScrambleBuffer(p + 1, p[0], kTextSeed);
}

}  // namespace

TDataFile::TDataFile(TTableFileOwner* owner, bool remote, TFileList* list)
    : TFileHandler(list),
      owner_(owner),
      remote_(remote),
      pool_(*this),
      cache_(pool_, kRecentProbe, kCacheGrowStep) {}

TDataFile::~TDataFile() {
  // A destructor cannot raise; a record lock the file layer refused to release is dropped
  // with the file object when its last handle closes.
  closeFile(false);
  detached_.clear();
}

[[noreturn]] void TDataFile::fail(uint16_t code) const {
  SignalTableError(code, GetTableName(), GetTablePath());
}

std::string TDataFile::GetTableName() const {
  return owner_ ? owner_->GetTableName() : GetName();
}
std::string TDataFile::GetTablePath() const {
  return owner_ ? owner_->GetTablePath() : std::string();
}

void TDataFile::setDirty() {
  header_[kHdrDirty] = 1;
}
bool TDataFile::IsHeaderDirty() const {
  return header_[kHdrDirty] != 0;
}

int64_t TDataFile::dataStart() const {
  return int64_t(kDataHeaderSize) + int64_t(GetFieldCount()) * int64_t(kFieldDescriptorSize);
}
int64_t TDataFile::slotOffset(uint32_t number) const {
  return dataStart() + int64_t(number - 1) * int64_t(GetRecordSize());
}

// ---- Header fields ----

uint32_t TDataFile::GetChangeCounter() const {
  return platform::get4(header_ + kHdrCounter);
}
uint16_t TDataFile::GetFieldCount() const {
  return platform::get2(header_ + kHdrFieldCount);
}
uint16_t TDataFile::GetBlobFieldCount() const {
  return platform::get2(header_ + kHdrBlobCount);
}
uint32_t TDataFile::GetRecordSize() const {
  return platform::get2(header_ + kHdrRecordSize);
}
uint32_t TDataFile::GetBlobBlockSize() const {
  const uint32_t size = platform::get4(header_ + kHdrBlockSize);
  return size == 0 ? kDefaultBlobBlockSize : size;
}
uint16_t TDataFile::GetLanguageId() const {
  return platform::get2(header_ + kHdrLanguage);
}
uint16_t TDataFile::GetSortId() const {
  return platform::get2(header_ + kHdrSortId);
}
uint16_t TDataFile::GetUserMajorVersion() const {
  return platform::get2(header_ + kHdrUserVersion1);
}
uint16_t TDataFile::GetUserMinorVersion() const {
  return platform::get2(header_ + kHdrUserVersion2);
}
uint32_t TDataFile::GetNextRecordNumber() const {
  return platform::get4(header_ + kHdrNextRecord);
}
uint32_t TDataFile::GetLastRecordNumber() const {
  return GetNextRecordNumber() - 1;
}
uint32_t TDataFile::GetLastUniqueId() const {
  return platform::get4(header_ + kHdrLastUniqueId);
}
uint32_t TDataFile::GetLastAutoIncValue() const {
  return platform::get4(header_ + kHdrLastAutoInc);
}
uint32_t TDataFile::GetFreeRecordHead() const {
  return platform::get4(header_ + kHdrFreeHead);
}
bool TDataFile::IsEncrypted() const {
  return EncryptedOf(header_);
}

bool TDataFile::EncryptedOf(const uint8_t* header) {
  return header[kHdrEncrypted] != 0;
}

void TDataFile::GetHeader(uint8_t* buffer) const {
  std::memcpy(buffer, header_, kDataHeaderSize);
}

void TDataFile::GetSettingsHeader(uint8_t* buffer) const {
  std::memcpy(buffer, header_, kDataHeaderSize);
  std::memset(buffer + kHdrCounter, 0, 4);
  std::memset(buffer + kHdrStamp, 0, 8);
  buffer[kHdrDirty] = 0;
}

std::string TDataFile::GetDescription() const {
  return DescriptionOf(header_);
}

std::string TDataFile::DescriptionOf(const uint8_t* header) {
  return readHeaderText(header + kHdrDescription, kDescriptionLength, EncryptedOf(header));
}

std::string TDataFile::GetPassword() const {
  return PasswordOf(header_);
}

std::string TDataFile::PasswordOf(const uint8_t* header) {
  if (!EncryptedOf(header)) return {};
  return readHeaderText(header + kHdrPassword, kPasswordLength, true);
}

void TDataFile::SetHeaderInfo(std::string_view password, std::string_view description, uint32_t lastUniqueId,
                              uint16_t userVersion1, uint16_t userVersion2) {
  const bool encrypted = IsEncrypted();
  writeHeaderText(header_ + kHdrPassword, kPasswordLength, encrypted ? password : std::string_view(),
                  encrypted);
  writeHeaderText(header_ + kHdrDescription, kDescriptionLength, description, encrypted);
  platform::put4(header_ + kHdrLastUniqueId, lastUniqueId);
  platform::put2(header_ + kHdrUserVersion1, userVersion1);
  platform::put2(header_ + kHdrUserVersion2, userVersion2);
  setDirty();
}

// ---- Structure ----

namespace {

// Field lists that passed the layout check, by their exact bytes: a table opened again and again
// (a statement per open) is checked once while its descriptors stay as they are. Anything that
// changes them (a new field, a restructure by another process) changes the bytes, and the list is
// checked afresh. Scrambled lists are not kept.
class TCheckedLayouts {
 public:
  // Puts the checked form into `descriptors` when these bytes were checked before under the same
  // header values, by an owner at least as strict (`strict`: value texts were checked).
  bool take(std::vector<TFieldDescriptor>& descriptors, uint16_t languageId, uint16_t sortId,
            uint32_t recordSize, bool strict, bool& replaced) {
    replaced = false;
    std::lock_guard guard(mutex_);
    for (const Entry& e : entries_) {
      if (e.languageId != languageId || e.sortId != sortId || e.recordSize != recordSize ||
          (strict && !e.strict) || e.read.size() != descriptors.size())
        continue;
      bool same = true;
      for (size_t i = 0; same && i < descriptors.size(); ++i)
        same = std::memcmp(e.read[i].Bytes(), descriptors[i].Bytes(), kFieldDescriptorSize) == 0;
      if (!same) continue;
      // A list written by the engine comes out of the check as it went in.
      if (!e.checkUnchanged) {
        descriptors = e.checked;
        replaced = true;
      }
      return true;
    }
    return false;
  }
  void add(std::vector<TFieldDescriptor> read, const std::vector<TFieldDescriptor>& checked,
           uint16_t languageId, uint16_t sortId, uint32_t recordSize, bool strict) {
    const bool unchanged = std::equal(read.begin(), read.end(), checked.begin(), checked.end(),
                                      [](const TFieldDescriptor& a, const TFieldDescriptor& b) {
                                        return std::memcmp(a.Bytes(), b.Bytes(), kFieldDescriptorSize) == 0;
                                      });
    std::lock_guard guard(mutex_);
    Entry e{std::move(read), unchanged ? std::vector<TFieldDescriptor>() : checked,
            languageId,      sortId,
            recordSize,      strict,
            unchanged};
    if (entries_.size() < kEntries) {
      entries_.push_back(std::move(e));
    } else {
      entries_[next_] = std::move(e);
      next_ = (next_ + 1) % kEntries;
    }
  }

 private:
  static constexpr size_t kEntries = 32;
  struct Entry {
    std::vector<TFieldDescriptor> read, checked;
    uint16_t languageId, sortId;
    uint32_t recordSize;
    bool strict;
    // The check changed nothing: `checked` is left empty.
    bool checkUnchanged;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  size_t next_ = 0;
};

TCheckedLayouts& checkedLayouts() {
  static TCheckedLayouts layouts;
  return layouts;
}

}  // namespace

bool TDataFile::sizeFitsType(const TFieldDescriptor& d) {
  const uint8_t type = d.Type();
  const bool sized = type == kFieldTypeString || type == kFieldTypeBytes || type == kFieldTypeVarBytes;
  return sized ? d.Size() <= kMaxFieldSize : d.Size() == 0;
}

void TDataFile::recomputeStorage(TFieldDescriptor& d, uint16_t code) const {
  if (!sizeFitsType(d)) fail(code);
  SetFieldStorageSize(d.Span());
  SetFieldStorageScale(d.Span());
}

void TDataFile::checkFields(std::vector<TFieldDescriptor>& descriptors, uint16_t languageId, uint16_t sortId,
                            uint32_t recordSize, bool recompute, uint16_t code) const {
  uint32_t running = kRecordHeaderSize;
  std::unordered_set<std::string> names;
  std::unordered_set<uint16_t> numbers;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    TFieldDescriptor& d = descriptors[i];
    if (recompute) recomputeStorage(d, code);
    if (d.TextLengthByte(2) > kFieldNameLength || d.TextLengthByte(33) > kFieldTextLength ||
        d.TextLengthByte(94) > kFieldTextLength || d.TextLengthByte(145) > kFieldTextLength ||
        d.TextLengthByte(196) > kFieldTextLength)
      fail(code);
    std::string upper = d.Name();
    OSUpperCase(languageId, sortId, upper);
    if (upper.empty() || !IsIdentStartChar(uint8_t(upper[0]))) fail(code);
    std::string key(TrimBlanks(d.Name()));
    OSUpperCase(0, 0, key);
    if (!names.insert(key).second) fail(code);
    if (!numbers.insert(d.FieldNumber()).second) fail(code);
    const uint8_t type = d.Type();
    if (type == 0 || !sizeFitsType(d)) fail(code);
    if (owner_ &&
        (!owner_->IsValidValueText(d.MinText(), type) || !owner_->IsValidValueText(d.MaxText(), type) ||
         !owner_->IsValidValueText(d.DefaultText(), type)))
      fail(code);
    if (d.Scale() != 0 && type != kFieldTypeBCD) fail(code);
    if (!d.Computed()) {
      if (d.IsAutoInc()) {
        if (d.Offset() != kAutoIncFieldOffset) fail(code);
      } else {
        if (d.Offset() != running) fail(code);
        running += uint32_t(d.StoredSize()) + 1;
      }
    }
    if (d.FieldNumber() != i + 1) fail(code);
  }
  if (recordSize != running) fail(code);
}

void TDataFile::DefineStructure(uint16_t languageId, uint16_t sortId, uint16_t userVersion1,
                                uint16_t userVersion2, bool encrypted, std::string_view password,
                                std::string_view description, uint32_t blobBlockSize,
                                std::span<const TFieldDescriptor> descriptors) {
  if (descriptors.size() > kMaxFieldCount) fail(VELDOR_FLDLIMIT);
  if (blobBlockSize != 0 && (blobBlockSize < kMinBlobBlockSize || blobBlockSize > kMaxBlobBlockSize))
    fail(VELDOR_BLOBLIMIT);
  if (languageId != 0 && !OSIsValidLocale(OSMakeLCID(languageId, sortId))) fail(VELDOR_CANNOTLOADLDDRV);

  std::vector<TFieldDescriptor> fields(descriptors.begin(), descriptors.end());
  uint16_t blobs = 0;
  uint64_t recordSize = kRecordHeaderSize;
  for (TFieldDescriptor& d : fields) {
    if (d.IsBlob() && ++blobs > kMaxBlobFieldCount) fail(VELDOR_BLOBLIMIT);
    recomputeStorage(d, VELDOR_HEADERCORRUPT);
    if (d.TakesRecordRoom()) recordSize += uint64_t(d.StoredSize()) + 1;
  }
  if (recordSize > kMaxRecordSize) fail(VELDOR_RECTOOBIG);
  checkFields(fields, languageId, sortId, uint32_t(recordSize), false, VELDOR_HEADERCORRUPT);

  std::memset(header_, 0, sizeof header_);
  platform::put2(header_ + kHdrLanguage, languageId);
  platform::put2(header_ + kHdrSortId, sortId);
  platform::put2(header_ + kHdrUserVersion1, userVersion1);
  platform::put2(header_ + kHdrUserVersion2, userVersion2);
  header_[kHdrEncrypted] = encrypted ? 1 : 0;
  writeHeaderText(header_ + kHdrDescription, kDescriptionLength, description, encrypted);
  writeHeaderText(header_ + kHdrPassword, kPasswordLength, encrypted ? password : std::string_view(),
                  encrypted);
  platform::put2(header_ + kHdrFieldCount, uint16_t(fields.size()));
  platform::put2(header_ + kHdrBlobCount, blobs);
  platform::put4(header_ + kHdrBlockSize, blobBlockSize);
  header_[kHdrVersion] = kDataFileVersion;
  platform::put4(header_ + kHdrFreeHead, 0);
  platform::put4(header_ + kHdrNextRecord, 1);
  platform::put4(header_ + kHdrLastUniqueId, 0);
  platform::put2(header_ + kHdrRecordSize, uint16_t(recordSize));
  platform::put4(header_ + kHdrCounter, 0);
  setDirty();
  descriptors_ = std::move(fields);
  descriptorsChanged();
  descriptorsDirty_ = true;

  TFileHandler::CreateFile();
  // A table made again over its old files, which another process may keep open between its uses
  // (TFileHandler::Keep): that process takes its files back when it finds them of the identity,
  // size and counters it left, and on a file system whose clock is too coarse to tell its last
  // write from the ones here, rows written alike give the same sizes and, from 0, the same
  // counters. Going on from the old file's counter keeps every counter of the new table's past
  // any the old one showed.
  static_assert(kHdrCounter + 4 <= kReplacedHeadBytes);
  uint8_t replaced[kReplacedHeadBytes];
  if (ReplacedHead(replaced)) platform::put4(header_ + kHdrCounter, platform::get4(replaced + kHdrCounter));
  prepareCache();
}

void TDataFile::prepareCache() {
  const uint32_t r = GetRecordSize();
  readAheadCount_ = r == 0 ? 1 : uint32_t(std::max<size_t>(1, kReadAheadBytes / r));
  openCacheSize_ = r == 0 ? kMaxCacheRecords : std::min(kCacheBytes / r, kMaxCacheRecords);
  cache_.SetCapacity(openCacheSize_);
  counters_ = {};
  aheadCount_ = 0;
  recentMisses_.fill(0);
}

void TDataFile::Open() {
  if (remote_ || IsOpen()) return;
  TFileHandler::Open();
  UndoOnFailure close([&] {
    FreeFieldDescriptors();
    TFileHandler::Close();
  });
  ReadHeader();
  if (GetFieldCount() > kMaxFieldCount || GetRecordSize() < kRecordHeaderSize) fail(VELDOR_HEADERCORRUPT);
  ReadFieldDescriptors();
  prepareCache();
}

void TDataFile::Close() {
  closeFile(true);
}

void TDataFile::closeFile(bool raiseOnLockFailure) {
  if (remote_) {
    FreeFieldDescriptors();
    return;
  }
  if (!IsOpen()) return;
  const bool released = UnlockAllRecords();
  FreeFieldDescriptors();
  ClearRecordCache();
  TFileHandler::Close();
  if (!released && raiseOnLockFailure) fail(VELDOR_UNLOCKFAILED);
}

void TDataFile::CheckVersion() {
  if (header_[kHdrVersion] != kDataFileVersion) fail(VELDOR_OLDVERSION);
}

void TDataFile::VerifyHeader() {
  verifyLayout();
  if (remote_) return;

  const int64_t size = GetFileSize();
  const int64_t start = dataStart();
  const int64_t r = GetRecordSize();
  if (size < start || (size - start) % r != 0) fail(VELDOR_HEADERCORRUPT);
  const int64_t slots = (size - start) / r;
  if (slots > int64_t(kMaxRecordSlots) || slots + 1 != int64_t(GetNextRecordNumber()))
    fail(VELDOR_HEADERCORRUPT);
  if (int64_t(GetFreeRecordHead()) > slots) fail(VELDOR_HEADERCORRUPT);
}

void TDataFile::verifyLayout() {
  CheckVersion();
  const uint16_t language = GetLanguageId();
  const uint16_t sortId = GetSortId();
  if (language != 0 && !OSIsValidLocale(OSMakeLCID(language, sortId))) fail(VELDOR_CANNOTLOADLDDRV);
  const uint32_t blockSize = platform::get4(header_ + kHdrBlockSize);
  if (blockSize != 0 && (blockSize < kMinBlobBlockSize || blockSize > kMaxBlobBlockSize))
    fail(VELDOR_HEADERCORRUPT);
  const uint16_t fieldCount = GetFieldCount();
  if (fieldCount > kMaxFieldCount || descriptors_.size() != fieldCount) fail(VELDOR_HEADERCORRUPT);
  const auto blobs = std::count_if(descriptors_.begin(), descriptors_.end(),
                                   [](const TFieldDescriptor& d) { return d.IsBlob(); });
  if (blobs > kMaxBlobFieldCount || blobs != GetBlobFieldCount()) fail(VELDOR_HEADERCORRUPT);
  const bool strict = owner_ && owner_->ChecksValueTexts();
  const bool keep = !IsEncrypted();
  bool replaced = false;
  if (keep && checkedLayouts().take(descriptors_, language, sortId, GetRecordSize(), strict, replaced)) {
    if (replaced) descriptorsChanged();
    return;
  }
  std::vector<TFieldDescriptor> read;
  if (keep) read = descriptors_;
  // The check puts stored sizes and scales right in place, and may fail half way.
  descriptorsChanged();
  checkFields(descriptors_, language, sortId, GetRecordSize(), true, VELDOR_HEADERCORRUPT);
  if (keep) checkedLayouts().add(std::move(read), descriptors_, language, sortId, GetRecordSize(), strict);
}

void TDataFile::ReadHeader() {
  uint8_t image[kDataHeaderSize];
  if (ReadAt(0, image, kDataHeaderSize, true) != int64_t(kDataHeaderSize)) fail(VELDOR_HEADERCORRUPT);
  std::memcpy(header_, image, kDataHeaderSize);
  header_[kHdrDirty] = 0;
}

bool TDataFile::WriteHeader(bool force) {
  if (!force && !IsHeaderDirty()) return false;
  uint8_t image[kDataHeaderSize];
  std::memcpy(image, header_, kDataHeaderSize);
  platform::put4(image + kHdrCounter, GetChangeCounter() + 1);
  platform::put4(image + kHdrFixed31000, 31000);
  platform::put4(image + kHdrFixedZero, 0);
  platform::put8(image + kHdrStamp, std::bit_cast<uint64_t>(localDayStamp() - kStampBias));
  growBuffer(writeBuffer_, kDataHeaderSize);
  std::memcpy(writeBuffer_.data(), image, kDataHeaderSize);
  WriteAt(0, writeBuffer_.data(), kDataHeaderSize);
  std::memcpy(header_, image, kDataHeaderSize);
  if (owner_) owner_->MarkWritten();
  header_[kHdrDirty] = 0;
  return true;
}

bool TDataFile::HeaderChanged() {
  uint8_t image[kDataHeaderSize];
  if (ReadAt(0, image, kDataHeaderSize, true) != int64_t(kDataHeaderSize)) fail(VELDOR_HEADERCORRUPT);
  if (platform::get4(image + kHdrCounter) == GetChangeCounter()) return false;
  std::memcpy(header_, image, kDataHeaderSize);
  header_[kHdrDirty] = 0;
  return true;
}

bool TDataFile::ChangeCounterCurrent() {
  uint8_t counter[4];
  return PeekDiskHead(counter, 4) && platform::get4(counter + kHdrCounter) == GetChangeCounter();
}

void TDataFile::IncChangeCounter() {
  platform::put4(header_ + kHdrCounter, GetChangeCounter() + 1);
  setDirty();
  if (owner_) owner_->MarkWritten();
}

void TDataFile::ReadFieldDescriptors() {
  const size_t count = GetFieldCount();
  const size_t length = count * kFieldDescriptorSize;
  // The descriptors lie side by side as they do in the file: read straight into them.
  static_assert(sizeof(TFieldDescriptor) == kFieldDescriptorSize &&
                std::is_trivially_copyable_v<TFieldDescriptor>);
  std::vector<TFieldDescriptor> fields(count);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(fields.data());
  if (length > 0 && ReadAt(kDataHeaderSize, bytes, int64_t(length), true) != int64_t(length))
    fail(VELDOR_HEADERCORRUPT);
  if (IsEncrypted()) UnscrambleBuffer(bytes, length, kStructureSeed);
  descriptors_ = std::move(fields);
  descriptorsChanged();
  descriptorsDirty_ = false;
}

bool TDataFile::WriteFieldDescriptors() {
  if (!descriptorsDirty_) return false;
  const size_t length = descriptors_.size() * kFieldDescriptorSize;
  growBuffer(writeBuffer_, length);
  for (size_t i = 0; i < descriptors_.size(); ++i)
    std::memcpy(writeBuffer_.data() + i * kFieldDescriptorSize, descriptors_[i].Bytes(),
                kFieldDescriptorSize);
  if (IsEncrypted()) ScrambleBuffer(writeBuffer_.data(), length, kStructureSeed);
  WriteAt(kDataHeaderSize, writeBuffer_.data(), int64_t(length));
  if (owner_ && owner_->ForceBufferFlush()) Flush();
  descriptorsDirty_ = false;
  return true;
}

void TDataFile::FreeFieldDescriptors() {
  descriptors_.clear();
  descriptorsChanged();
  descriptorsDirty_ = false;
}

void TDataFile::descriptorsChanged() {
  static std::atomic<uint64_t> next{1};
  descriptorsVersion_ = next.fetch_add(1, std::memory_order_relaxed);
}

// ---- Fields ----

const TFieldDescriptor* TDataFile::GetFieldDescriptor(uint16_t position) const {
  if (position < 1 || position > descriptors_.size()) return nullptr;
  return &descriptors_[position - 1];
}

const TFieldDescriptor* TDataFile::FindFieldByNumber(uint16_t number, uint16_t& position) const {
  for (size_t i = 0; i < descriptors_.size(); ++i) {
    if (descriptors_[i].FieldNumber() == number) {
      position = uint16_t(i + 1);
      return &descriptors_[i];
    }
  }
  position = 0;
  return nullptr;
}

const TFieldDescriptor* TDataFile::FindFieldByName(std::string_view name, uint16_t& position) const {
  for (size_t i = 0; i < descriptors_.size(); ++i) {
    if (OSCompareStrings(GetLanguageId(), GetSortId(), descriptors_[i].Name(), true, 0, name) == 0) {
      position = uint16_t(i + 1);
      return &descriptors_[i];
    }
  }
  position = 0;
  return nullptr;
}

uint16_t TDataFile::IndexOfFieldName(std::string_view name) const {
  uint16_t position = 0;
  FindFieldByName(name, position);
  return position;
}

bool TDataFile::UpdateFieldDescriptor(uint16_t position, const TFieldDescriptor& descriptor) {
  if (position < 1 || position > descriptors_.size()) return false;
  TFieldDescriptor& d = descriptors_[position - 1];
  d.SetFieldNumber(descriptor.FieldNumber());
  d.SetName(descriptor.Name());
  d.SetDescription(descriptor.Description());
  d.SetSubType(descriptor.SubType());
  d.SetRequired(descriptor.Required());
  d.SetMinText(descriptor.MinText());
  d.SetMaxText(descriptor.MaxText());
  d.SetDefaultText(descriptor.DefaultText());
  descriptorsChanged();
  descriptorsDirty_ = true;
  return true;
}

// ---- Counters ----

void TDataFile::SetLastUniqueId(uint32_t value) {
  if (value == GetLastUniqueId()) return;
  platform::put4(header_ + kHdrLastUniqueId, value);
  setDirty();
}

void TDataFile::SetLastAutoIncValue(uint32_t value) {
  if (value == GetLastAutoIncValue()) return;
  platform::put4(header_ + kHdrLastAutoInc, value);
  setDirty();
}

uint32_t TDataFile::NextUniqueId() {
  const uint32_t last = GetLastUniqueId();
  if (last >= kMaxCounterValue) fail(VELDOR_TABLEFULL);
  platform::put4(header_ + kHdrLastUniqueId, last + 1);
  setDirty();
  return last + 1;
}

uint32_t TDataFile::NextAutoIncValue() {
  const uint32_t last = GetLastAutoIncValue();
  if (last >= kMaxCounterValue) fail(VELDOR_FLDLIMIT);
  platform::put4(header_ + kHdrLastAutoInc, last + 1);
  setDirty();
  return last + 1;
}

// ---- Record slots ----

uint32_t TDataFile::GetFreeRecordNumber() const {
  const uint32_t head = GetFreeRecordHead();
  if (head == 0 || (owner_ && owner_->NoPrimaryIndex())) return GetNextRecordNumber();
  return head;
}

void TDataFile::SetFreeRecordHead(uint32_t number) {
  if (number == GetFreeRecordHead()) return;
  platform::put4(header_ + kHdrFreeHead, number);
  setDirty();
}

bool TDataFile::AllocateRecord(TCacheReader* cursor, TRecord*& record) {
  record = nullptr;
  const uint32_t number = GetFreeRecordNumber();
  const uint32_t next = GetNextRecordNumber();
  if (number > next) fail(VELDOR_FILECORRUPT);
  TRecord* r = nullptr;
  if (!GetRecord(cursor, number, r)) return false;
  uint32_t link = 0;
  if (number != next) {
    link = r->GetNextFree();
    if (r->GetStatus() != kRecordDeleted || link > GetLastRecordNumber() || link == number) {
      ReleaseRecord(r);
      fail(VELDOR_FILECORRUPT);
    }
  }
  SetFreeRecordHead(link);
  record = r;
  return true;
}

void TDataFile::CheckRoomForRecords(uint32_t count) const {
  const uint64_t last = uint64_t(GetNextRecordNumber()) + count - 1;
  if (last > kMaxRecordSlots || dataStart() + int64_t(last) * GetRecordSize() > kMaxDataFileEnd)
    fail(VELDOR_TABLEFULL);
}

void TDataFile::AppendRecordImages(const uint8_t* images, uint32_t count) {
  std::vector<const uint8_t*> each(count);
  for (uint32_t i = 0; i < count; ++i) each[i] = images + size_t(i) * GetRecordSize();
  AppendRecordImages(each.data(), count);
}

void TDataFile::AppendRecordImages(const uint8_t* const* images, uint32_t count) {
  if (count == 0) return;
  const uint32_t r = GetRecordSize();
  const uint32_t next = GetNextRecordNumber();
  if (GetFreeRecordNumber() != next) fail(VELDOR_FILECORRUPT);
  CheckRoomForRecords(count);
  const uint64_t last = uint64_t(next) + count - 1;
  VELMARON_DEBUG_ASSERT(!cache_.FindCached(next), "no slot past the last one is cached");
  const size_t length = size_t(count) * r;
  growBuffer(writeBuffer_, length);
  const bool scrambled = IsEncrypted();
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* image = writeBuffer_.data() + size_t(i) * r;
    std::memcpy(image, images[i], r);
    platform::put4(image + 1, next + i);
    if (scrambled) ScrambleBuffer(image, r, kStructureSeed);
  }
  WriteAt(slotOffset(next), writeBuffer_.data(), int64_t(length));
  if (owner_) owner_->MarkWritten();
  ++counters_.flushWrites;
  platform::put4(header_ + kHdrNextRecord, uint32_t(last + 1));
  // As an allocation past the last slot leaves it (a table without a primary index may name a
  // deleted record there).
  platform::put4(header_ + kHdrFreeHead, 0);
  setDirty();
}

void TDataFile::AppendRecordImages(std::vector<uint8_t>&& images, uint32_t count) {
  const uint32_t r = GetRecordSize();
  if (size_t(count) * r > images.size()) fail(VELDOR_FILECORRUPT);
  if (count == 0 || IsEncrypted()) {
    AppendRecordImages(images.data(), count);
    images = {};
    return;
  }
  const uint32_t next = GetNextRecordNumber();
  if (GetFreeRecordNumber() != next) fail(VELDOR_FILECORRUPT);
  CheckRoomForRecords(count);
  VELMARON_DEBUG_ASSERT(!cache_.FindCached(next), "no slot past the last one is cached");
  for (uint32_t i = 0; i < count; ++i) platform::put4(images.data() + size_t(i) * r + 1, next + i);
  images.resize(size_t(count) * r);
  WriteAt(slotOffset(next), std::move(images));
  images = {};
  if (owner_) owner_->MarkWritten();
  ++counters_.flushWrites;
  platform::put4(header_ + kHdrNextRecord, next + count);
  // As the copying append leaves it.
  platform::put4(header_ + kHdrFreeHead, 0);
  setDirty();
}

void TDataFile::ReserveRecordImages(uint32_t count) {
  ReserveHeld(slotOffset(GetNextRecordNumber()), int64_t(count) * GetRecordSize());
}

void TDataFile::ReserveRecordRun(uint32_t first, uint32_t last) {
  if (first == 0 || last < first || last > GetLastRecordNumber()) return;
  ReserveHeld(slotOffset(first), int64_t(last - first + 1) * GetRecordSize());
}

void TDataFile::FreeRecord(TRecord* record) {
  const uint32_t number = record->GetRecordNumber();
  if (number == 0 || number > GetLastRecordNumber() || record->GetStatus() != kRecordInUse)
    fail(VELDOR_FILECORRUPT);
  const uint32_t link = GetFreeRecordNumber() == GetNextRecordNumber() ? 0 : GetFreeRecordHead();
  record->SetStatus(kRecordDeleted);
  record->SetNextFree(link);
  SetFreeRecordHead(number);
}

void TDataFile::checkRecordRun(uint32_t first, uint32_t count, std::vector<uint8_t>& images) {
  const uint32_t r = GetRecordSize();
  if (r < kRecordHeaderSize || first == 0 || uint64_t(first) + count - 1 > GetLastRecordNumber() ||
      images.size() < size_t(count) * r)
    fail(VELDOR_FILECORRUPT);
  images.resize(size_t(count) * r);
}

void TDataFile::writeRecordRun(uint32_t first, std::vector<uint8_t>&& images, TKnownOldBytes&& known) {
  // The read-ahead run holds the records as they were.
  aheadCount_ = 0;
  WriteAt(slotOffset(first), std::move(images), std::move(known));
  if (owner_) owner_->MarkWritten();
  ++counters_.flushWrites;
}

void TDataFile::cachedInRun(uint32_t first, uint32_t count, std::vector<TRecord*>& found) const {
  found.clear();
  const size_t cached = cache_.Count();
  if (cached == 0 || count == 0) return;
  // A run longer than the cache holds is mostly not cached: its cached records are found among
  // the cache's items in number order, where a look-up per slot would cost more than the run's
  // own work.
  if (count <= cached) {
    for (uint32_t i = 0; i < count; ++i)
      if (TRecord* record = cache_.FindCached(first + i)) found.push_back(record);
    return;
  }
  const uint64_t end = uint64_t(first) + count;
  size_t low = 0, high = cached;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (cache_.At(middle)->GetRecordNumber() < first)
      low = middle + 1;
    else
      high = middle;
  }
  for (; low < cached && cache_.At(low)->GetRecordNumber() < end; ++low) found.push_back(cache_.At(low));
}

void TDataFile::FreeRecordRun(uint32_t first, uint32_t count, std::vector<uint8_t>&& images) {
  FreeRecordRun(first, count, std::move(images), {});
}

void TDataFile::FreeRecordRun(uint32_t first, uint32_t count, std::vector<uint8_t>&& images,
                              std::vector<uint8_t>&& heads) {
  VELMARON_DEBUG_ASSERT(HoldsWrites(), "a run is freed into the held writes only");
  const uint32_t r = GetRecordSize();
  if (count == 0) return;
  checkRecordRun(first, count, images);
  for (uint32_t i = 0; i < count; ++i)
    if (images[size_t(i) * r] != kRecordInUse) fail(VELDOR_FILECORRUPT);
  const bool scrambled = IsEncrypted();
  // As GetFreeRecordNumber decides for each FreeRecord: a table without a primary index appends
  // past the chain, which its records then leave unlinked.
  const bool unchained = owner_ && owner_->NoPrimaryIndex();
  const uint32_t next = GetNextRecordNumber();
  uint32_t head = GetFreeRecordHead();
  std::vector<TRecord*> cached;
  cachedInRun(first, count, cached);
  // Only the status and the link change, each slot's bytes beyond stand as they were read; a
  // scrambled image differs throughout.
  const bool headsKnown =
      !scrambled && r >= kFreedHeadBytes && heads.size() == size_t(count) * kFreedHeadBytes;
  bool cachedAsHeld = true;
  auto nextCached = cached.begin();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t number = first + i;
    const uint32_t link = unchained || head == 0 || head == next ? 0 : head;
    uint8_t* image = images.data() + size_t(i) * r;
    image[0] = kRecordDeleted;
    platform::put4(image + 1, link);
    // A cached record would be read (and written at the next flush) instead of the held bytes.
    if (nextCached != cached.end() && (*nextCached)->GetRecordNumber() == number) {
      TRecord& record = **nextCached;
      record.SetStatus(kRecordDeleted);
      record.SetNextFree(link);
      // Once the run's write holds the record's bytes it is clean: a flush of it would write
      // into the run and leave its old bytes unknown, to be read again at the write-out.
      if (headsKnown && std::memcmp(record.GetBuffer(), image, r) == 0)
        record.SetDirty(false);
      else
        cachedAsHeld = false;
      ++nextCached;
    }
    if (scrambled) ScrambleBuffer(image, r, kStructureSeed);
    head = number;
  }
  TKnownOldBytes known;
  if (headsKnown && cachedAsHeld) known = {r, kFreedHeadBytes, std::move(heads)};
  heads = {};
  writeRecordRun(first, std::move(images), std::move(known));
  images = {};
  SetFreeRecordHead(first + count - 1);
}

void TDataFile::RewriteRecordRun(uint32_t first, uint32_t count, std::vector<uint8_t>&& images) {
  VELMARON_DEBUG_ASSERT(HoldsWrites(), "a run is rewritten into the held writes only");
  const uint32_t r = GetRecordSize();
  if (count == 0) return;
  checkRecordRun(first, count, images);
  const bool scrambled = IsEncrypted();
  std::vector<TRecord*> cached;
  cachedInRun(first, count, cached);
  auto nextCached = cached.begin();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t number = first + i;
    uint8_t* image = images.data() + size_t(i) * r;
    const bool isCached = nextCached != cached.end() && (*nextCached)->GetRecordNumber() == number;
    if (image[0] == kRecordInUse) {
      // What a cached record of this slot saves: its own number after the status.
      platform::put4(image + 1, number);
      // A cached record would be read (and written at the next flush) instead of the held bytes.
      if (isCached) (*nextCached)->SetFieldData(image);
    }
    if (isCached) ++nextCached;
    if (scrambled) ScrambleBuffer(image, r, kStructureSeed);
  }
  writeRecordRun(first, std::move(images));
  images = {};
}

void TDataFile::Empty() {
  {
    EnterSection();
    ScopeExit leave([this] { LeaveSection(); });
    Seek(kSeekBegin, dataStart());
    Truncate();
  }
  if (owner_ && owner_->ForceBufferFlush()) Flush();
  ClearRecordCache();
  platform::put4(header_ + kHdrFreeHead, 0);
  platform::put4(header_ + kHdrNextRecord, 1);
  platform::put4(header_ + kHdrLastUniqueId, 0);
  setDirty();
}

// ---- Record cache ----

void TDataFile::flushForRoom() {
  if (!owner_ || !owner_->HoldsTransactionLock()) FlushDirtyRecords();
}

std::unique_ptr<TRecord> TDataFile::GetCacheSlot(uint32_t number) {
  const bool mayFlush = !owner_ || !owner_->HoldsTransactionLock();
  std::unique_ptr<TRecord> slot = cache_.GetCacheSlot(number, mayFlush, [this] { FlushDirtyRecords(); });
  if (!slot) fail(VELDOR_FILECORRUPT);
  VELMARON_DEBUG_ASSERT(slot->GetRecordNumber() == number && slot->PinCount() == 0 && !slot->IsDirty(),
                        "a cache slot comes numbered, unpinned and clean");
  return slot;
}

bool TDataFile::GetRecord(TCacheReader* cursor, uint32_t number, TRecord*& record, bool forward,
                          bool cursorReadAhead, bool readAhead) {
  record = nullptr;
  const uint32_t r = GetRecordSize();
  if (r < kRecordHeaderSize) fail(VELDOR_HEADERCORRUPT);
  if (number == 0) fail(VELDOR_FILECORRUPT);
  uint32_t next = GetNextRecordNumber();
  if (number > next) fail(VELDOR_FILECORRUPT);

  if (number < next) {
    if (TRecord* hit = cache_.Find(number)) {
      VELMARON_DEBUG_ASSERT(hit->GetRecordNumber() == number,
                            "a cached record is found under its own number");
      ++counters_.hits;
      hit->Pin();
      record = hit;
      return true;
    }
    if (cursor && !readAhead && cursor->FetchesByKey()) growForLookup();
    // The read-ahead run is as current as a cached record: taking from it needs no read check.
    if (TRecord* taken = takeFromRun(number)) {
      record = taken;
      return true;
    }
    if (cursor && !(owner_ && owner_->StrictChangeDetection()) && cursor->BeginRead()) return false;
    next = GetNextRecordNumber();
    if (number >= next) fail(VELDOR_FILECORRUPT);
    const uint32_t available = forward ? next - number : number;
    uint32_t count = 1;
    bool aside = false;
    bool lookUpWanted = false;
    if (readAhead && cursorReadAhead && cursor) {
      aside = forward && cursor->ReadsAheadAside();
      // A run that goes on where the last one ended is twice as long, up to kAsideRunBytes.
      uint32_t wish = readAheadCount_;
      if (aside) {
        const bool goesOn = aheadCount_ != 0 && number == aheadFirst_ + aheadCount_;
        asideRunCount_ = goesOn
                             ? std::min(asideRunCount_ * 2, uint32_t(std::max<size_t>(1, kAsideRunBytes / r)))
                             : readAheadCount_;
        wish = std::max(asideRunCount_, readAheadCount_);
      }
      count = cursor->GetReadAheadCount(wish, forward);
    } else if (readAhead) {
      count = readAheadCount_;
    } else if (forward && followsRecentMiss(number)) {
      count = readAheadCount_;
      aside = true;
      lookUpWanted = true;
    }
    const uint32_t most = uint32_t(std::max<size_t>(1, kMaxRunBytes / r));
    count = std::clamp<uint32_t>(count, 1, std::min(available, most));
    TRecord* got = ReadRecords(number, count, forward, cursor, aside && count > 1, lookUpWanted);
    if (!got || got->GetRecordNumber() != number) {
      ReleaseRecord(got);
      fail(VELDOR_FILECORRUPT);
    }
    record = got;
    return true;
  }

  if (next > kMaxRecordSlots || dataStart() + int64_t(next) * r > kMaxDataFileEnd) fail(VELDOR_TABLEFULL);
  TRecord* slot = cache_.Insert(GetCacheSlot(next));
  noteCached(next);
  if (!slot) fail(VELDOR_FILECORRUPT);
  VELMARON_DEBUG_ASSERT(cache_.Head() == slot, "an appended slot is the most recently used");
  slot->Pin();
  slot->SetDirty(true);
  ++counters_.hits;
  platform::put4(header_ + kHdrNextRecord, next + 1);
  setDirty();
  record = slot;
  return true;
}

void TDataFile::growForLookup() {
  const uint32_t r = GetRecordSize();
  if (r == 0 || cache_.Count() < cache_.Capacity()) return;
  const size_t most = std::min(kLookupCacheBytes / r, kMaxCacheRecords);
  if (cache_.Capacity() < most) cache_.SetCapacity(std::min(most, cache_.Capacity() + kCacheGrowStep));
}

bool TDataFile::missingSlotsCached(uint32_t first, uint32_t last) const {
  for (uint32_t n = first; n <= last; ++n)
    if (!cache_.FindCached(n)) return false;
  return true;
}

bool TDataFile::followsRecentMiss(uint32_t number) {
  bool follows = aheadCount_ != 0 && number == aheadFirst_ + aheadCount_;
  for (uint32_t m : recentMisses_)
    follows = follows || (m != 0 && number > m && number - m <= readAheadCount_);
  recentMisses_[nextMiss_] = number;
  nextMiss_ = (nextMiss_ + 1) % recentMisses_.size();
  return follows;
}

TRecord* TDataFile::takeFromRun(uint32_t number) {
  if (aheadCount_ == 0 || number < aheadFirst_ || number - aheadFirst_ >= aheadCount_) return nullptr;
  // Counted as the read it stands for.
  ++counters_.readCalls;
  std::unique_ptr<TRecord> slot = GetCacheSlot(number);
  // Looked up after GetCacheSlot, whose flush may have written into the run.
  if (aheadCount_ == 0 || number < aheadFirst_ || number - aheadFirst_ >= aheadCount_) {
    pool_.Push(slot);
    return nullptr;
  }
  slot->LoadFromBuffer(aheadBuffer_.data() + size_t(number - aheadFirst_) * GetRecordSize());
  TRecord* item = cache_.Insert(std::move(slot));
  if (!item) fail(VELDOR_FILECORRUPT);
  noteCached(number);
  item->Pin();
  return item;
}

TRecord* TDataFile::ReadRecords(uint32_t number, uint32_t count, bool forward, TCacheReader* cursor,
                                bool aside, bool lookUpWanted) {
  ++counters_.readCalls;
  const uint32_t r = GetRecordSize();
  const uint32_t first = forward ? number : number - count + 1;
  const size_t length = size_t(count) * r;
  growBuffer(readBuffer_, length);
  ScopeExit runOver([this] { runFirst_ = runCount_ = 0; });
  runFirst_ = first;
  runCount_ = count;

  const int64_t got = ReadAt(slotOffset(first), readBuffer_.data(), int64_t(length), true);
  const uint32_t whole = uint32_t(std::max<int64_t>(got, 0) / r);
  if (whole < count) {
    // The record asked for is in no cache (the caller looked): missing from the file, it is
    // the read error of a cut file, whoever appended what.
    if (number - first >= whole) raise(VELDOR_READERR);
    // Slots missing from the file are acceptable only where this table appended them and has
    // not written them yet.
    const bool appendedUnwritten =
        owner_ && owner_->WrittenSinceOpen() && (IsTemporary() || owner_->HoldsTransactionLock());
    if (!appendedUnwritten && !missingSlotsCached(first + whole, first + count - 1)) raise(VELDOR_READERR);
  }
  ++counters_.runsRead;

  TRecord* wanted = nullptr;
  // Past the last record of the run that the cache holds.
  uint32_t uncachedFrom = first;
  lookUpWanted = lookUpWanted && aside;
  for (uint32_t i = lookUpWanted && number >= first ? number - first : 0; i < whole; ++i) {
    const uint32_t n = first + i;
    if (lookUpWanted && n != number) break;
    const uint8_t* image = readBuffer_.data() + size_t(i) * r;
    // Every record of the run is looked up, also in a run read aside: the run's mark of its last
    // cached record lets later copies out of the run pass the cache by, so a cached (perhaps
    // dirty) record past it would be read as the file's older bytes. A run for lookups sets its
    // mark past its end instead.
    TRecord* item = cache_.FindCached(n);
    if (item) {
      if (item->PinCount() == 0 && !item->IsDirty()) item->LoadFromBuffer(image);
    } else if (n != number && (aside || (cursor && !cursor->KeepsReadAhead(n)))) {
      continue;
    } else {
      std::unique_ptr<TRecord> slot = GetCacheSlot(n);
      slot->LoadFromBuffer(image);
      item = cache_.Insert(std::move(slot));
      if (!item) fail(VELDOR_FILECORRUPT);
      noteCached(n);
    }
    uncachedFrom = n + 1;
    if (n == number) {
      // Pinned at once, so that the rest of the run cannot take its slot.
      item->Pin();
      wanted = item;
    }
  }
  if (wanted) cache_.MoveFirst(wanted);
  if (aside) {
    // The read buffer becomes the run; the old run's buffer serves the next read.
    aheadBuffer_.swap(readBuffer_);
    aheadFirst_ = first;
    aheadCount_ = whole;
    aheadUncachedFrom_ = lookUpWanted ? first + whole : uncachedFrom;
  }
  return wanted;
}

bool TDataFile::ReadRecordImages(TCacheReader* cursor, uint32_t first, uint32_t count,
                                 std::vector<uint8_t>& images) {
  return readRecordImages(cursor, first, count, images, nullptr);
}

bool TDataFile::ReadRecordImages(TCacheReader* cursor, uint32_t first, uint32_t count,
                                 std::vector<uint8_t>& images, std::vector<uint8_t>& heads) {
  heads.clear();
  return readRecordImages(cursor, first, count, images, &heads);
}

bool TDataFile::readRecordImages(TCacheReader* cursor, uint32_t first, uint32_t count,
                                 std::vector<uint8_t>& images, std::vector<uint8_t>* heads) {
  const uint32_t r = GetRecordSize();
  if (r < kRecordHeaderSize) fail(VELDOR_HEADERCORRUPT);
  if (count == 0) return true;
  if (first == 0 || uint64_t(first) + count - 1 > GetLastRecordNumber()) fail(VELDOR_FILECORRUPT);
  if (images.size() < size_t(count) * r) images.resize(size_t(count) * r);
  std::vector<TRecord*> cached;
  cachedInRun(first, count, cached);
  const bool allCached = cached.size() == count;
  uint32_t whole = count;
  if (!allCached) {
    if (cursor && !(owner_ && owner_->StrictChangeDetection()) && cursor->BeginRead()) return false;
    if (uint64_t(first) + count - 1 > GetLastRecordNumber()) fail(VELDOR_FILECORRUPT);
    ++counters_.readCalls;
    const int64_t got = ReadAt(slotOffset(first), images.data(), int64_t(size_t(count) * r), true);
    whole = uint32_t(std::min<int64_t>(std::max<int64_t>(got, 0) / r, count));
    ++counters_.runsRead;
    // The read check may have emptied the cache.
    cachedInRun(first, count, cached);
  }
  const bool scrambled = IsEncrypted();
  if (heads && !allCached && !scrambled && whole == count) {
    // The loop below for a run read whole and plain, with each slot's head kept as read, a
    // cached record's too. The heads tell what a free changes only where a cached record's
    // bytes past its head are those read: one changed and not yet written drops them all.
    heads->resize(size_t(count) * kFreedHeadBytes);
    bool cachedAsRead = true;
    auto nextCached = cached.begin();
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* image = images.data() + size_t(i) * r;
      std::memcpy(heads->data() + size_t(i) * kFreedHeadBytes, image, kFreedHeadBytes);
      if (nextCached != cached.end() && (*nextCached)->GetRecordNumber() == first + i) {
        const uint8_t* held = (*nextCached)->GetBuffer();
        cachedAsRead = cachedAsRead &&
                       std::memcmp(image + kFreedHeadBytes, held + kFreedHeadBytes, r - kFreedHeadBytes) == 0;
        std::memcpy(image, held, r);
        ++nextCached;
      } else if (image[0] == kRecordInUse) {
        platform::put4(image + 1, first + i);
      }
    }
    if (!cachedAsRead) heads->clear();
    return true;
  }
  bool missing = false;
  auto nextCached = cached.begin();
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* image = images.data() + size_t(i) * r;
    if (nextCached != cached.end() && (*nextCached)->GetRecordNumber() == first + i) {
      std::memcpy(image, (*nextCached)->GetBuffer(), r);
      ++nextCached;
      continue;
    }
    if (i >= whole) {
      missing = true;
      continue;
    }
    // As TRecord::LoadFromBuffer: unscrambled, and a record in use carries its own number.
    if (scrambled) UnscrambleBuffer(image, r, kStructureSeed);
    if (image[0] == kRecordInUse) platform::put4(image + 1, first + i);
  }
  if (missing) {
    const bool appendedUnwritten =
        owner_ && owner_->WrittenSinceOpen() && (IsTemporary() || owner_->HoldsTransactionLock());
    if (!appendedUnwritten) raise(VELDOR_READERR);
    fail(VELDOR_FILECORRUPT);
  }
  return true;
}

void TDataFile::noteCached(uint32_t number) {
  if (aheadCount_ != 0 && number >= aheadFirst_ && number - aheadFirst_ < aheadCount_)
    aheadUncachedFrom_ = std::max(aheadUncachedFrom_, number + 1);
}

const uint8_t* TDataFile::heldBytes(uint32_t number, bool& fromRun) const {
  fromRun = false;
  if (number == 0 || number >= GetNextRecordNumber()) return nullptr;
  // Most of a run lies past its last cached record: no look-up for those.
  const bool inRun = aheadCount_ != 0 && number >= aheadFirst_ && number - aheadFirst_ < aheadCount_;
  if (!inRun || number < aheadUncachedFrom_) {
    if (const TRecord* cached = cache_.FindCached(number)) return cached->GetBuffer();
  }
  // Scrambled bytes would need the whole record.
  if (!inRun || IsEncrypted() || GetRecordSize() < kRecordHeaderSize) return nullptr;
  fromRun = true;
  return aheadBuffer_.data() + size_t(number - aheadFirst_) * GetRecordSize();
}

const uint8_t* TDataFile::HeldRecordBytes(uint32_t number) const {
  bool fromRun = false;
  return heldBytes(number, fromRun);
}

const uint8_t* TDataFile::HeldRecordRun(uint32_t number, uint32_t& count) const {
  count = 0;
  // heldBytes' road for a record of the run past its last cached one.
  const uint32_t next = GetNextRecordNumber();
  if (number == 0 || number >= next || aheadCount_ == 0 || number < aheadFirst_ ||
      number - aheadFirst_ >= aheadCount_ || number < aheadUncachedFrom_ || IsEncrypted() ||
      GetRecordSize() < kRecordHeaderSize)
    return nullptr;
  const uint64_t end = std::min<uint64_t>(uint64_t(aheadFirst_) + aheadCount_, next);
  count = uint32_t(end - number);
  return aheadBuffer_.data() + size_t(number - aheadFirst_) * GetRecordSize();
}

bool TDataFile::CopyHeldRecord(uint32_t number, uint8_t* image, uint32_t size) const {
  bool fromRun = false;
  const uint8_t* held = heldBytes(number, fromRun);
  if (!held) return false;
  const uint32_t n = std::min(size, GetRecordSize());
  // The run holds the file's bytes: as TRecord::LoadFromBuffer, a record in use carries its own
  // number.
  if (fromRun && n < kRecordHeaderSize) return false;
  std::memcpy(image, held, n);
  if (fromRun && image[0] == kRecordInUse) platform::put4(image + 1, number);
  return true;
}

void TDataFile::ReleaseRecord(TRecord* record) {
  if (!record) return;
  record->Unpin();
  if (record->PinCount() > 0 || detached_.empty()) return;
  auto it =
      std::find_if(detached_.begin(), detached_.end(), [&](const auto& p) { return p.get() == record; });
  if (it == detached_.end()) return;
  std::unique_ptr<TRecord> owned = std::move(*it);
  detached_.erase(it);
  pool_.Push(owned);
}

bool TDataFile::FlushDirtyRecords() {
  const uint32_t runEnd = runFirst_ + runCount_;
  std::vector<TRecord*> dirty = cache_.CollectDirty([&](const TRecord& rec) {
    const uint32_t n = rec.GetRecordNumber();
    return runCount_ == 0 || n < runFirst_ || n >= runEnd;
  });
  if (dirty.empty()) return false;
  const uint32_t r = GetRecordSize();
  Cache::ForEachRun(dirty, [&](size_t start, size_t count) {
    growBuffer(writeBuffer_, count * r);
    for (size_t k = 0; k < count; ++k) dirty[start + k]->SaveToBuffer(writeBuffer_.data() + k * r);
    UndoOnFailure redirty([&] {
      for (size_t k = 0; k < count; ++k) dirty[start + k]->SetDirty(true);
    });
    const uint32_t first = dirty[start]->GetRecordNumber();
    // The read-ahead run goes, in case the write fails part way; it takes the bytes once written.
    const uint32_t aheadCount = std::exchange(aheadCount_, 0);
    WriteAt(slotOffset(first), writeBuffer_.data(), int64_t(count * r));
    redirty.Dismiss();
    aheadCount_ = aheadCount;
    const uint64_t from = std::max<uint64_t>(first, aheadFirst_);
    const uint64_t to = std::min<uint64_t>(uint64_t(first) + count, uint64_t(aheadFirst_) + aheadCount_);
    for (uint64_t n = from; n < to; ++n)
      std::memcpy(aheadBuffer_.data() + size_t(n - aheadFirst_) * r,
                  writeBuffer_.data() + size_t(n - first) * r, r);
    if (owner_) owner_->MarkWritten();
    ++counters_.flushWrites;
  });
  return true;
}

void TDataFile::ClearRecordCache() {
  aheadCount_ = 0;
  recentMisses_.fill(0);
  cache_.Clear([this](std::unique_ptr<TRecord> pinned) { detached_.push_back(std::move(pinned)); });
}

void TDataFile::TrimRecordCache() {
  const uint32_t r = GetRecordSize();
  const size_t target = r == 0 ? kMaxCacheRecords : std::min(kCacheBytes / r, kMaxCacheRecords);
  if (!cache_.Trim(target, [this] { flushForRoom(); })) fail(VELDOR_FILECORRUPT);
}

bool TDataFile::DropRecentRecord() {
  bool damaged = false;
  const bool dropped = cache_.DropRecent([this] { flushForRoom(); }, damaged);
  if (damaged) fail(VELDOR_FILECORRUPT);
  return dropped;
}

std::unique_ptr<TRecord> TDataFile::PopRecordBuffer() {
  return pool_.Pop();
}
void TDataFile::PushRecordBuffer(std::unique_ptr<TRecord>& record) {
  pool_.Push(record);
}

// ---- Locks ----

bool TDataFile::LockRecord(uint32_t number) {
  if (number == 0 || number > kMaxRecordSlots + 1) {
    platform::setLastOsError(EINVAL);
    return false;
  }
  if (!LockRegion(true, kRecordLockBase - number, 1)) return false;
  recordLocks_.insert(number);
  return true;
}

bool TDataFile::LockRecordRun(uint32_t first, uint32_t last) {
  if (first == 0 || first > last || last > kMaxRecordSlots + 1) return false;
  if (first == last) return LockRecord(first);
  if (!LockRegion(true, kRecordLockBase - last, int64_t(last - first) + 1)) return false;
  recordRuns_.emplace(first, last);
  return true;
}

bool TDataFile::HoldsRecordLock(uint32_t number) const {
  if (recordLocks_.count(number) != 0) return true;
  auto run = recordRuns_.upper_bound(number);
  return run != recordRuns_.begin() && std::prev(run)->second >= number;
}

bool TDataFile::UnlockRecord(uint32_t number) {
  // Byte-range locks belong to the shared file, so the file layer would release another table
  // object's lock as readily as ours.
  if (recordLocks_.count(number) == 0) return false;
  if (!LockRegion(false, kRecordLockBase - number, 1)) return false;
  recordLocks_.erase(number);
  return true;
}

namespace {

// Entries of the unlock lists kept from call to call.
constexpr size_t kKeptUnlockEntries = 64;

}  // namespace

bool TDataFile::UnlockRecords(std::span<const uint32_t> numbers, bool* writeLock) {
  bool all = true;
  // Each range with the record that names it in the bookkeeping: a single lock, a run's first
  // record, or 0 for the write lock.
  std::vector<platform::OsFile::Range>& ranges = unlockRanges_;
  std::vector<uint32_t>& owners = unlockOwners_;
  ranges.clear();
  owners.clear();
  // Lists grown for many locks (a transaction's appends) are not kept.
  ScopeExit trim([&] {
    if (ranges.capacity() <= kKeptUnlockEntries) return;
    std::vector<platform::OsFile::Range>().swap(ranges);
    std::vector<uint32_t>().swap(owners);
  });
  ranges.reserve(numbers.size() + 1);
  owners.reserve(numbers.size() + 1);
  for (size_t i = 0; i < numbers.size(); ++i) {
    const uint32_t number = numbers[i];
    auto run = recordRuns_.find(number);
    if (run == recordRuns_.end()) {
      // Byte-range locks belong to the shared file, so the file layer would release another
      // table object's lock as readily as ours.
      if (recordLocks_.count(number) == 0) {
        all = false;
        continue;
      }
      ranges.push_back({kRecordLockBase - number, 1});
      owners.push_back(number);
      continue;
    }
    // Rising numbers without repeats name the whole run exactly when its last record lies as
    // far along the list as it lies past the first.
    const uint32_t last = run->second;
    const size_t end = i + (last - number);
    if (end >= numbers.size() || numbers[end] != last) {
      all = false;
      continue;
    }
    ranges.push_back({kRecordLockBase - last, int64_t(last - number) + 1});
    owners.push_back(number);
    i = end;
  }
  if (writeLock) {
    ranges.push_back({kDataWriteLockOffset, 1});
    owners.push_back(0);
  }
  if (ranges.empty()) return all;
  UnlockRegions(ranges);
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (owners[i] == 0) {
      *writeLock = ranges[i].released;
      continue;
    }
    if (!ranges[i].released) {
      all = false;
      continue;
    }
    if (ranges[i].length == 1 && recordLocks_.count(owners[i]) != 0) {
      recordLocks_.erase(owners[i]);
    } else {
      recordRuns_.erase(owners[i]);
    }
  }
  return all;
}

bool TDataFile::UnlockAllRecords() {
  bool all = true;
  for (auto it = recordLocks_.begin(); it != recordLocks_.end();) {
    if (LockRegion(false, kRecordLockBase - *it, 1)) {
      it = recordLocks_.erase(it);
    } else {
      all = false;
      ++it;
    }
  }
  for (auto it = recordRuns_.begin(); it != recordRuns_.end();) {
    if (LockRegion(false, kRecordLockBase - it->second, int64_t(it->second - it->first) + 1)) {
      it = recordRuns_.erase(it);
    } else {
      all = false;
      ++it;
    }
  }
  return all;
}

bool TDataFile::LockWrite() {
  return LockRegionRetrying([](uint32_t) { return kDataWriteLockOffset; }, 1);
}

bool TDataFile::UnlockWrite() {
  return LockRegion(false, kDataWriteLockOffset, 1);
}

// ---- Remote tables ----

void TDataFile::LoadHeaderFromReply(std::span<const uint8_t> header,
                                    const std::function<std::span<const uint8_t>()>& nextDescriptor) {
  if (header.size() != kDataHeaderSize) fail(VELDOR_HEADERCORRUPT);
  const uint16_t count = platform::get2(header.data() + kHdrFieldCount);
  if (count > kMaxFieldCount) fail(VELDOR_HEADERCORRUPT);
  std::vector<TFieldDescriptor> fields(count);
  for (TFieldDescriptor& d : fields) {
    const std::span<const uint8_t> bytes = nextDescriptor();
    if (bytes.size() != kFieldDescriptorSize) fail(VELDOR_HEADERCORRUPT);
    std::memcpy(d.Bytes(), bytes.data(), kFieldDescriptorSize);
  }
  // A server's header passes the checks of a header read from disk (field offsets and sizes
  // within the record among them); a refused one leaves the file as it was.
  std::array<uint8_t, kDataHeaderSize> before;
  std::memcpy(before.data(), header_, kDataHeaderSize);
  std::swap(descriptors_, fields);
  descriptorsChanged();
  UndoOnFailure restore([&] {
    std::memcpy(header_, before.data(), kDataHeaderSize);
    std::swap(descriptors_, fields);
    descriptorsChanged();
  });
  std::memcpy(header_, header.data(), kDataHeaderSize);
  verifyLayout();
  descriptorsDirty_ = false;
}

void TDataFile::LoadCountersFromReply(uint32_t lastRecordNumber, uint32_t lastUniqueId, double stamp) {
  platform::put4(header_ + kHdrNextRecord, lastRecordNumber + 1);
  platform::put4(header_ + kHdrLastUniqueId, lastUniqueId);
  platform::put8(header_ + kHdrStamp, std::bit_cast<uint64_t>(stamp - kStampBias));
}

void TDataFile::LoadCountersFromCursorReply(uint32_t lastRecordNumber, uint32_t lastUniqueId, double stamp) {
  LoadCountersFromReply(lastRecordNumber, lastUniqueId, stamp);
}

}  // namespace engine
