#include "tasks/u_transfer.h"

#include <exception>
#include <filesystem>
#include <system_error>

#include "platform/plainfile.h"

namespace tasks {

namespace {

namespace fs = std::filesystem;

bool isFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

std::string fileNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void deleteDump(const std::string& path, const TransferOutput& output) {
  int error = 0;
  if (!platform::removeFile(path, error)) {
    output("Delete file failed: " + path + ": " + platform::errorText(error));
  }
}

// Copies `source` to `target` through a temporary file beside the target. False on any failure,
// with `reason` set to the file that failed and the system's word for it (empty for an abort);
// the target is then as it was.
bool copyReplacing(const std::string& source, const std::string& target, const std::atomic<bool>* aborted,
                   std::string& reason) {
  platform::InputFile in;
  platform::ReplacingFile out;
  const auto failed = [&reason](const std::string& path, int error) {
    reason = path + ": " + platform::errorText(error);
    return false;
  };
  if (!in.open(source)) return failed(source, in.error());
  if (!out.begin(target)) return failed(target, out.error());
  std::vector<char> buffer(1 << 20);
  for (int64_t offset = 0;;) {
    if (aborted != nullptr && aborted->load()) return false;
    const int64_t n = in.readAt(offset, buffer.data(), buffer.size());
    if (n < 0) return failed(source, in.error());
    if (n == 0) break;
    if (!out.write(buffer.data(), size_t(n))) return failed(target, out.error());
    offset += n;
  }
  return out.commit() || failed(target, out.error());
}

}  // namespace

TransferOrder TransferOrderOf(const TUniTask& task) {
  TransferOrder order;
  order.taskId = task.id();
  order.transfermode = task.transfermode();
  order.dumppath = task.dumppath();
  order.deletefileafter = task.deletefileafter() == 1;
  order.ftpanonymous = task.ftpanonymous() == 1;
  order.ftpserver = task.ftpserver();
  order.ftpusername = task.ftpusername();
  order.ftppassword = task.ftppassword();
  order.ftpremotedir = task.ftpremotedir();
  order.copyfiledir = task.copyfiledir();
  return order;
}

void UploadDumpFtp(const TransferOrder& order, platform::FtpClient& ftp, const TransferOutput& output) {
  try {
    if (!isFile(order.dumppath)) {
      output("File does not exists: " + order.dumppath);
      return;
    }
    ftp.setHost(order.ftpserver);
    ftp.setUser(order.ftpanonymous ? "anonymous" : order.ftpusername);
    ftp.setPassword(order.ftppassword);
    if (ftp.connected()) ftp.disconnect();
    ftp.connect();
    if (ftp.connected() && !order.ftpremotedir.empty()) ftp.changeDir(order.ftpremotedir);
    if (!ftp.connected()) {
      output(platform::maskPassword("Not connected to " + order.ftpserver, order.ftppassword));
      return;
    }
    output("Begin file transfer(ftp)");
    output(platform::maskPassword(
        "Connected to " + order.ftpserver + "\r\nCurrent dir is:" + ftp.currentDir(), order.ftppassword));
    ftp.setBinaryMode();
    ftp.upload(order.dumppath, fileNameOf(order.dumppath), [&] {
      if (order.deletefileafter) deleteDump(order.dumppath, output);
    });
    output("End file transfer(ftp)");
    ftp.disconnect();
    output("Disconnect form server");
  } catch (const std::exception& e) {
    output(platform::maskPassword(e.what(), order.ftppassword));
  }
}

void CopyDumpFile(TransferOrder& order, const TransferOutput& output, const std::atomic<bool>* aborted) {
  try {
    if (!isFile(order.dumppath)) {
      output("File does not exist: " + order.dumppath);
      return;
    }
    std::error_code ec;
    if (order.copyfiledir.empty() || !fs::is_directory(order.copyfiledir, ec)) {
      output("Dir does not exist: " + order.copyfiledir);
      return;
    }
    if (!order.copyfiledir.ends_with('/')) order.copyfiledir += '/';
    const std::string target = order.copyfiledir + fileNameOf(order.dumppath);
    // Copying the dump onto itself would empty it; the temporary file keeps that from
    // happening, and the refusal keeps the delete below from removing the only copy.
    std::string reason;
    bool copied = false;
    if (fs::equivalent(order.dumppath, target, ec)) {
      reason = target + ": the dump file itself";
    } else {
      copied = copyReplacing(order.dumppath, target, aborted, reason);
    }
    if (!copied) {
      // The line as it always was; the cause on a line of its own after it.
      output("Copy file failed: " + target);
      if (!reason.empty()) output(reason);
      return;
    }
    if (order.deletefileafter) deleteDump(order.dumppath, output);
    output("Copy file successfully: " + target);
  } catch (const std::exception& e) {
    output(e.what());
  }
}

TDumpTransfer::TDumpTransfer(const TUniTask& task, std::unique_ptr<platform::FtpClient> ftp,
                             platform::EventPoster* poster)
    : order_(TransferOrderOf(task)),
      originalCopyDir_(order_.copyfiledir),
      // Made before the worker starts, so that Abort() always finds it.
      ftp_(order_.transfermode != kTransferFtp ? nullptr
           : ftp                               ? std::move(ftp)
                                               : platform::makeFtpClient()),
      poster_(poster),
      thread_([this] { Run(); }) {}

TDumpTransfer::~TDumpTransfer() {
  Abort();
  Join();
}

void TDumpTransfer::Abort() {
  aborted_ = true;
  if (ftp_ != nullptr) ftp_->abort();
}

void TDumpTransfer::Run() {
  const TransferOutput output = [this](std::string line) { Add(std::move(line)); };
  if (order_.transfermode == kTransferFtp) {
    UploadDumpFtp(order_, *ftp_, output);
  } else if (order_.transfermode == kTransferCopy) {
    CopyDumpFile(order_, output, &aborted_);
  }
  Post(kTransferEnded);
}

void TDumpTransfer::Add(std::string line) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(line));
  }
  Post(kTransferLineAdded);
}

void TDumpTransfer::Post(int32_t event) {
  if (poster_ != nullptr) poster_->post({WM_TRANSFEREVENT, order_.taskId, event});
}

std::vector<std::string> TDumpTransfer::TakeLines() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  lines.swap(pending_);
  return lines;
}

void TDumpTransfer::Join() {
  if (thread_.joinable()) thread_.join();
}

void TDumpTransfer::ApplyTo(TUniTask& task) const {
  if (order_.copyfiledir != originalCopyDir_) task.SetCopyFileDir(order_.copyfiledir);
}

}  // namespace tasks
