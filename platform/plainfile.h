// Plain files of the application: dump files, analysis files, definition files.
//
// This is not the table engine's file layer: there are no locks and no engine codes. A failing
// call returns false (or -1) and keeps the system's error number, which error() gives back and
// errorText() turns into a readable reason. Each object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An input/output failure of a plain file, carrying the system's error number.
class IoError : public std::runtime_error {
 public:
  IoError(const std::string& message, int error) : std::runtime_error(message), error_(error) {}
  int error() const { return error_; }

 private:
  int error_;
};

// The system's description of an error number ("No such file or directory"), and "not a regular
// file" for kNotRegularFile.
std::string errorText(int error);

// True when `path` names an existing file or folder (symbolic links followed).
bool fileExists(const std::string& path);

// Removes the file `path`. A missing file counts as removed. False with `error` set otherwise.
bool removeFile(const std::string& path, int& error);

// Forces the folder that holds `path` to the disk, so that the names last made, changed or removed
// in it stay after a power cut. A folder this user may write but not read cannot be synced and
// counts as synced. False with `error` set.
bool syncFolderOf(const std::string& path, int& error);

// Random reads from an open file. InputFile is the real one; tests put in readers that fail or
// deliver short reads, to check what the callers do then.
class RandomReader {
 public:
  virtual ~RandomReader() = default;
  // The size in bytes; -1 with error() set on failure.
  virtual int64_t size() = 0;
  // Up to `n` bytes at `offset`; fewer only at the end of the file (or, from readers other
  // than InputFile, when a read came back short); -1 with error() set on a read error.
  virtual int64_t readAt(int64_t offset, void* buffer, size_t n) = 0;
  // The first offset at or after `offset` outside a hole (see InputFile); `offset` by default.
  virtual int64_t nextDataOffset(int64_t offset) { return offset; }
  // The system error number of the last failure.
  virtual int error() const = 0;
  // Whether readShared() may be used: reads of one reader from several threads at once.
  virtual bool sharesReads() const { return false; }
  // As readAt, but safe from any number of threads at once; a failure's error number goes to
  // `error` instead of error(). Only where sharesReads() is true.
  virtual int64_t readShared(int64_t offset, void* buffer, size_t n, int& error);
};

// A file opened for reading. Others may read, write, rename or delete it meanwhile, as with
// a Windows open that shares all access. Move-only; closes itself on destruction.
class InputFile : public RandomReader {
 public:
  InputFile() = default;
  ~InputFile() override;
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading; a folder is refused (EISDIR), and so is anything else that is not a
  // regular file (kNotRegularFile), without waiting on it. False with error() set on failure.
  bool open(const std::string& path);
  bool isOpen() const { return fd_ >= 0; }
  void close();

  // The file's size in bytes; -1 with error() set on failure.
  int64_t size() override;

  // Reads up to `n` bytes at `offset` into `buffer`. Short reads and interrupted calls are
  // retried until `n` bytes are in or the file ends, so fewer than `n` bytes come back only at
  // the end of the file. -1 with error() set on a read error.
  int64_t readAt(int64_t offset, void* buffer, size_t n) override;

  // The first offset at or after `offset` that does not lie in a hole of a sparse file (holes
  // read as zero bytes); `offset` itself when the file system cannot tell or there is no hole.
  // Never beyond the file's size.
  int64_t nextDataOffset(int64_t offset) override;

  int error() const override { return error_; }
  bool sharesReads() const override { return true; }
  int64_t readShared(int64_t offset, void* buffer, size_t n, int& error) override;

 private:
  int fd_ = -1;
  int error_ = 0;
};

// A file opened for writing: created anew (emptied when it exists) or opened for appending.
// A path that is not a regular file is refused as InputFile refuses it. Move-only; closes itself on
// destruction, but only close() reports a failure of the close.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates `path` or empties it. False with error() set on failure.
  bool create(const std::string& path);
  // Creates `path`, which must not exist yet (EEXIST otherwise), with the permission bits `mode`
  // less the umask. False with error() set.
  bool createNew(const std::string& path, unsigned mode = 0666);
  // Opens `path` for appending, creating it when missing. False with error() set on failure.
  bool openAppend(const std::string& path);
  bool isOpen() const { return fd_ >= 0; }

  // Writes all `n` bytes, retrying short and interrupted writes. False with error() set.
  bool write(const void* data, size_t n);
  bool write(std::string_view text) { return write(text.data(), text.size()); }
  // Forces the written bytes to the disk. False with error() set.
  bool sync();
  // Sets the file's permission bits to `mode`, the umask aside. False with error() set.
  bool setMode(unsigned mode);
  // Gives the file to user `uid` and group `gid`. False with error() set (EPERM for a writer that
  // may not give files away).
  bool setOwner(unsigned uid, unsigned gid);
  // Takes a write lock on the whole file without waiting. The lock belongs to this open, not to
  // the process: no other open may lock any of the file, in this process or another, until this
  // one closes, and the system drops it when the process ends however it ends. False with error()
  // set (EAGAIN or EACCES when another open holds a lock on the file).
  bool lockWhole();
  // Closes the file; false with error() set when the close reports a failure (for example
  // a delayed write error).
  bool close();

  int error() const { return error_; }

 private:
  bool openWith(const std::string& path, int flags, unsigned mode = 0666);
  int fd_ = -1;
  int error_ = 0;
};

// Writes a file so that readers see either the old file or the complete new one: the bytes go
// to a temporary file beside the target, which commit() renames onto the target. A file that
// is not committed (failure, cancel, destruction) is removed and the target stays untouched.
//
// A writer whose process ends before its commit cannot remove its temporary file, so the writer
// holds a lock on it (OutputFile::lockWhole) from its making until it is renamed or removed, and
// begin() removes the temporary files of the same target that earlier writers left: those named
// exactly as begin() names them that no writer holds and that nothing has written to for
// kAbandonedAfterSeconds (a writer holds its file a moment after making it). A file that is not
// a regular file, has another name besides, or that this user cannot open stays.
class ReplacingFile {
 public:
  ReplacingFile() = default;
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  static constexpr int kAbandonedAfterSeconds = 10;

  // Removes what earlier writers of `target` left (see above; nothing is reported: what cannot
  // go stays for a later writer), then creates the temporary file for `target` in the target's
  // folder, with the permission bits `mode` less the umask; the target takes them on commit.
  // When `target` is a regular file, the new one has its permission bits instead, narrowed to
  // `mode`, and its owner and group where the writer may give them: a file its owner closed to
  // others stays closed, and stays its owner's. A symbolic link at `target` is replaced itself,
  // never written through; the file it leads to stands for the target in these. False with
  // error() set.
  //
  // Leftovers::RemovedByCaller leaves out the removal, for a caller that replaces many files of
  // one folder and has removed what was left of them all at once (removeAbandoned): a listing
  // of the folder for each file would make the run's cost grow with the square of its files.
  enum class Leftovers { RemoveNow, RemovedByCaller };
  bool begin(const std::string& target, unsigned mode = 0666, Leftovers leftovers = Leftovers::RemoveNow);
  // Removes what earlier writers of each of `targets` left, as begin() does for one, with one
  // listing of each of their folders.
  static void removeAbandoned(const std::vector<std::string>& targets);
  bool write(const void* data, size_t n);
  bool write(std::string_view text) { return write(text.data(), text.size()); }
  // Once a write has failed, later writes and commit() fail too (the file is discarded), so that
  // a file missing some of its bytes never replaces the target.
  // Syncs the temporary file, renames it onto the target and closes it (held until it has its
  // new name, so that no other writer takes it for abandoned), then syncs the target's folder,
  // so that the new file is on the disk under its name when this returns true. False with error()
  // set; the temporary file is then removed and the target stays as it was, except when only the
  // close or the folder's sync failed: the target then holds the new file, synced, which a power
  // cut may still lose from the folder.
  //
  // FolderSync::ByCaller leaves the folder's sync out, for a caller that replaces many files of
  // one folder and syncs it once after the last (syncFolderOf): a power cut before then may leave
  // any of them the old file, whole, under its name.
  enum class FolderSync { Now, ByCaller };
  bool commit(FolderSync folderSync = FolderSync::Now);
  // Removes the temporary file (before it lets it go); the target stays as it was.
  void discard();

  const std::string& temporaryPath() const { return tempPath_; }
  int error() const { return error_; }

 private:
  OutputFile file_;
  std::string target_;
  std::string tempPath_;
  int error_ = 0;
  bool failed_ = false;
};

}  // namespace platform
