// Moving a dump file after the export or import program of a run has ended: upload by FTP
// (`transfermode` 1) or copy to a folder (2). Every step is one output line, added after the
// program's own output; no failure stops the run, nothing is retried.
//
// The transfer runs on a worker thread (TDumpTransfer) so that a slow server never blocks the
// window: the worker posts WM_TRANSFEREVENT for each line and once at the end, and the window
// thread takes the lines. The worker reads a copy of the task's fields, never the task.
//
// No output line, log or error text holds the FTP password.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventqueue.h"
#include "platform/ftpclient.h"
#include "tasks/u_unitask.h"

namespace tasks {

// The message of transfer events: WM_USER + 11, task id first, the event second.
inline constexpr uint32_t WM_TRANSFEREVENT = 1035;
enum : int32_t { kTransferLineAdded = 1, kTransferEnded = 2 };

// What a transfer takes of its task.
struct TransferOrder {
  int32_t taskId = 0;
  int32_t transfermode = kTransferNone;
  std::string dumppath;
  bool deletefileafter = false;
  bool ftpanonymous = false;
  std::string ftpserver;
  std::string ftpusername;
  std::string ftppassword;
  std::string ftpremotedir;
  std::string copyfiledir;
};
TransferOrder TransferOrderOf(const TUniTask& task);

// Takes each output line as it is made.
using TransferOutput = std::function<void(std::string line)>;

// Uploads the dump file under its own name into `ftpremotedir` (the login folder when empty),
// in byte mode, with `ftp` (a connection it holds is closed first). Lines, in order: "Begin file
// transfer(ftp)", "Connected to " server CR LF "Current dir is:" folder, "End file
// transfer(ftp)", "Disconnect form server"; or "File does not exists: " and the path; or a
// failure's text, which ends the upload. With `deletefileafter`, the dump is deleted once its
// own upload has succeeded, never otherwise ("Delete file failed: " when that fails).
void UploadDumpFtp(const TransferOrder& order, platform::FtpClient& ftp, const TransferOutput& output);

// Copies the dump file into `copyfiledir` under its own name, replacing a file there only once
// the copy is complete (a failed copy leaves no partial file and never deletes the source); a
// target that is the dump itself is refused. Appends "/" to `order.copyfiledir` when it lacks
// one. Lines: "Copy file successfully: " or "Copy file failed: " and the target, the latter
// followed by a line with the file that failed and why ("<path>: <system's reason>"; none for an
// abort); "File does not exist: " and the path; "Dir does not exist: " and the folder. With
// `deletefileafter`, the dump is deleted after a successful copy. Once `aborted` (when given)
// turns true, the copy stops as a failed one.
void CopyDumpFile(TransferOrder& order, const TransferOutput& output,
                  const std::atomic<bool>* aborted = nullptr);

// One transfer on a worker thread. Made and read on the window thread.
class TDumpTransfer {
 public:
  // Starts the transfer of `task` at once: an upload with `ftp` (a new client when null), a copy,
  // or nothing for other modes. Events go to `poster` (none when null).
  TDumpTransfer(const TUniTask& task, std::unique_ptr<platform::FtpClient> ftp,
                platform::EventPoster* poster);
  // Aborts the transfer and waits for the worker to end.
  ~TDumpTransfer();
  TDumpTransfer(const TDumpTransfer&) = delete;
  TDumpTransfer& operator=(const TDumpTransfer&) = delete;

  // The lines added since the last call, oldest first. Any thread.
  std::vector<std::string> TakeLines();
  // Waits until the transfer has ended.
  void Join();
  // Stops the transfer within about a second: an upload or copy in progress ends as a failed
  // one (its dump is never deleted), one not begun does not begin. Any thread.
  void Abort();
  // What the transfer changed of the task (the copy folder's closing "/"). After the end.
  void ApplyTo(TUniTask& task) const;

 private:
  void Run();
  void Add(std::string line);
  void Post(int32_t event);

  TransferOrder order_;
  std::string originalCopyDir_;
  std::unique_ptr<platform::FtpClient> ftp_;
  platform::EventPoster* poster_;
  std::mutex mutex_;
  std::vector<std::string> pending_;
  std::atomic<bool> aborted_{false};
  std::jthread thread_;  // last: joined before the members above go away
};

}  // namespace tasks
