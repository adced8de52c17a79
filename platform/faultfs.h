// A FileSystem for tests that passes every call to another one and makes chosen calls fail:
// short writes, a full disk, I/O errors, or the end of the process at a chosen write.
//
// Counted operations are the transfers and changes: opens, creates, reads, writes, truncates,
// syncs, deletes and renames. Lock calls, look-ups and sleeps are passed through uncounted;
// releases of byte ranges can be made to fail apart from the plan (failUnlocks).
// Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/osfile.h"

namespace platform {

enum class Fault : uint8_t {
  None,
  ShortWrite,  // a write stores half its bytes (at least one fewer) and reports ENOSPC
  NoSpace,     // a write, create, truncate or sync fails with ENOSPC having stored nothing
  IoError,     // any counted operation fails with EIO
  Exit,        // the process ends at once with _exit(kFaultExitCode) before the write, and without
               // writesOnly before any counted operation but a read
};
// A struck operation that the fault does not apply to (a read under NoSpace, say) runs normally.

inline constexpr int kFaultExitCode = 86;

struct FaultPlan {
  Fault fault = Fault::None;
  // The fault strikes at counted operation number every, 2 x every, ... (counting from 1).
  uint64_t every = 0;
  // Only writes are counted and struck.
  bool writesOnly = false;
  // Every operation from number `every` on is struck, not its multiples only (a disk that stays
  // full).
  bool onward = false;
};

class FaultyFileSystem final : public FileSystem {
 public:
  explicit FaultyFileSystem(FileSystem& base) : base_(base) {}

  // Replaces the plan and starts counting from 0.
  void setPlan(const FaultPlan& plan);
  // The next `count` releases of byte ranges (each range of a release of several counts once)
  // fail with ENOLCK and release nothing, as a system that refuses the unlock does.
  void failUnlocks(uint64_t count) { unlockFailures_ = count; }
  // Consumes one of the failures failUnlocks asked for; true when one was left.
  bool strikeUnlock();

  // Operations counted since the last setPlan.
  uint64_t operations() const { return count_.load(); }
  // Faults that took effect since the last setPlan.
  uint64_t faults() const { return faults_.load(); }

  std::unique_ptr<OsFile> openFile(const std::string& path, const OpenOptions& options) override;
  std::unique_ptr<OsFile> createFile(const std::string& path, bool deleteOnClose) override;
  std::unique_ptr<OsFile> createFileReplacing(const std::string& path, bool deleteOnClose, void* head,
                                              int64_t count, bool& replaced) override;
  CreateNewResult createNewFile(const std::string& path) override;
  bool fileInfo(const std::string& path, FileInfo& info) override { return base_.fileInfo(path, info); }
  bool openAnywhereAsSpelt(const std::string& path) override { return base_.openAnywhereAsSpelt(path); }
  std::unique_ptr<OsFile> openAsSpelt(const std::string& path, ShareMode share, bool create) override;
  bool deleteFile(const std::string& path) override;
  bool deleteFileAsSpelt(const std::string& path) override;
  bool renameFile(const std::string& from, const std::string& to) override;
  // Logged, not counted: it fails only as the system makes it fail.
  bool replaceFile(const std::string& from, const std::string& to) override {
    noteEvent(EventKind::Rename, from, to);
    return base_.replaceFile(from, to);
  }
  // Not counted: it changes no bytes, and a copy that it fails for stops before its swap.
  bool takeAccessOf(const std::string& model, const std::string& path) override {
    return base_.takeAccessOf(model, path);
  }
  std::string resolvePath(const std::string& path) override { return base_.resolvePath(path); }
  std::string tempPath() override { return base_.tempPath(); }
  std::string computerName() override { return base_.computerName(); }
  void sleepFor(std::chrono::milliseconds duration) override { base_.sleepFor(duration); }
  bool syncFolder(const std::string& path) override;

  // What a power loss leaves depends on the order of these calls: writes and truncates (Write),
  // file and folder syncs, renames and deletes, each logged with its paths (a file's under the
  // path it was opened by) while recording is on, whether or not a fault struck it. Off by default.
  enum class EventKind : uint8_t { Write, Sync, SyncFolder, Rename, Delete };
  struct Event {
    EventKind kind;
    std::string path;
    std::string to;  // a rename's new name
  };
  // Starts (clearing the log) or stops recording.
  void record(bool on);
  std::vector<Event> events() const;
  void noteEvent(EventKind kind, const std::string& path, const std::string& to = {});

  // Change: create, truncate, sync; Other: open, delete, rename.
  enum class Operation { Read, Write, Change, Other };
  // Counts one operation and returns the fault that applies to it (Fault::None for none).
  Fault strike(Operation op);

 private:
  FileSystem& base_;
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> faults_{0};
  std::atomic<Fault> fault_{Fault::None};
  std::atomic<uint64_t> every_{0};
  std::atomic<bool> writesOnly_{false};
  std::atomic<bool> onward_{false};
  std::atomic<uint64_t> unlockFailures_{0};
  std::atomic<bool> recording_{false};
  mutable std::mutex eventsSection_;
  std::vector<Event> events_;
};

}  // namespace platform
