// Analysis files (".adf"): the result of reading a dump, saved so that the tree can be opened again
// without reading the dump. A 1024-byte header with the dump's header facts and the size of the
// index, the index of 141-byte entries (public objects first, then each owner's own entry followed
// by its objects) and the data area, which holds every entry's bytes one after another.
//
// All integers are 32-bit signed little-endian; texts are single-byte, zero-padded.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "dumpfile/dumpworker.h"
#include "dumpfile/u_formatdumpfile.h"

namespace dumpfile {

inline constexpr int64_t kAdfHeaderSize = 1024;
inline constexpr int64_t kAdfEntrySize = 141;
inline constexpr int64_t kAdfNameSize = 128;

// One index entry as it lies in the file.
struct AdfEntry {
  std::array<uint8_t, kAdfNameSize> name{};  // zero-terminated when shorter than 128 characters
  int32_t dataOffset = 0;                    // where the bytes lie in the analysis file
  int32_t length = 0;                        // how many bytes
  int32_t dumpOffset = -1;                   // where they lay in the dump that was read (-1: nowhere)
  uint8_t kind = 0;                          // the node kind; 1 marks an owner

  void encode(uint8_t* out) const;            // writes kAdfEntrySize bytes
  static AdfEntry decode(const uint8_t* in);  // reads kAdfEntrySize bytes
};

// True when `fileName` exists, can be opened and measured, and bytes 10 to 19 of its first 1024
// bytes are 0, 1, ..., 9. Any failure gives false.
bool IsAnalysisFile(const std::string& fileName);

// The node takes the entry's name (up to its first zero byte), kind, and, as its range, the entry's
// data offset and length: the range now lies in the analysis file. The dump offset is not used.
void FillNodeFromEntry(const AdfEntry& entry, TExpFileNode& node);

// Writes the analysis file `fileName` from a filled root, copying each object's exact bytes from
// the root's file (the dump, or the analysis file it came from). The bytes go to a temporary file
// that replaces `fileName` only when everything has been written; a failed or cancelled save
// leaves `fileName` as it was. Messages: the root's file name + " not exists!", "Create " + name +
// " error!", "Write to " + name + " error!", "Save " + name + " error: ..." when offsets or lengths
// do not fit the file's 32-bit fields, "Read " + object + " from " + file + " error!" when an
// object's bytes cannot be read; a cancelled save leaves no message of its own.
class TSavedfp final : public DumpWorker {
 public:
  TSavedfp(std::string fileName, TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone);
  ~TSavedfp() override;

  // The text saved as the date and time of saving (by default the local time now, as
  // "YYYY-MM-DD HH:MM:SS"). Before the run only.
  void SetSaveTimeText(std::string text) { saveTime_ = std::move(text); }

 protected:
  void Run() override;
  std::string FailureMessage() const override { return "Write to " + fileName_ + " error!"; }

 private:
  std::string fileName_;
  std::string saveTime_;
};

// Reads the analysis file named by the root into the root: its header texts, then the owners and
// objects, whose ranges then lie in the analysis file. Everything is checked before the tree is
// filled; a damaged file leaves the tree empty and one of the messages "File: " + name,
// "open file " + name, name + " is not a valid file", "Read file Error: (Code:001)" to
// "(Code:005)" or "Error while reading file!". A run cancelled while the tree is being filled
// leaves "Terminated by user! " + kReadingIncomplete and the root marked Incomplete.
class TReaddfp final : public DumpWorker {
 public:
  TReaddfp(TExpFileRoot& root, ProgressSink* progress, DoneCallback onDone);
  ~TReaddfp() override;

 protected:
  void Run() override;
  std::string FailureMessage() const override { return "Error while reading file!"; }
};

}  // namespace dumpfile
