#include "platform/ftpclient.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

namespace {

// How long a size short of the uploaded file's is asked for again before the upload counts as
// failed: a server that answered before its write ended holds the whole file within it.
constexpr std::chrono::seconds kSizeSettleTime{2};

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A plain host name or address with an optional ":port": nothing that could add a path, an
// account or a second host to the address.
bool validHost(const std::string& host) {
  const size_t colon = host.find(':');
  const std::string name = host.substr(0, colon);
  if (name.empty()) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
  }
  if (colon == std::string::npos) return true;
  const std::string port = host.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  const long n = std::stol(port);
  return n > 0 && n < 65536;
}

// One path segment for a URL; dot segments escaped, so that the URL parser leaves them to the
// server.
std::string escapeSegment(CURL* curl, const std::string& segment) {
  if (segment == ".") return "%2E";
  if (segment == "..") return "%2E%2E";
  char* escaped = curl_easy_escape(curl, segment.c_str(), int(segment.size()));
  std::string text = escaped != nullptr ? escaped : "";
  curl_free(escaped);
  return text;
}

size_t collectReplies(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

size_t readFromFd(char* buffer, size_t size, size_t count, void* fd) {
  for (;;) {
    ssize_t n = ::read(*static_cast<int*>(fd), buffer, size * count);
    if (n >= 0) return size_t(n);
    if (errno != EINTR) return CURL_READFUNC_ABORT;
  }
}

class CurlFtpClient final : public FtpClient {
 public:
  CurlFtpClient() { initCurlOnce(); }
  ~CurlFtpClient() override { disconnect(); }

  void setHost(std::string host) override { host_ = std::move(host); }
  void setUser(std::string user) override { user_ = std::move(user); }
  void setPassword(std::string password) override { password_ = std::move(password); }
  void setPassive(bool passive) override { passive_ = passive; }
  bool connected() const override { return curl_ != nullptr; }

  void connect() override {
    disconnect();
    if (!validHost(host_)) fail("Invalid FTP server name: " + host_);
    // The login goes out as the lines USER and PASS as they stand: a line break would end one and
    // start a command of the text's own making, and a zero byte would cut it.
    constexpr std::string_view kLineEnds("\r\n\0", 3);
    if (user_.find_first_of(kLineEnds) != std::string::npos)
      fail("Invalid FTP user name: it holds a line break or a zero byte");
    if (password_.find_first_of(kLineEnds) != std::string::npos)
      fail("Invalid FTP password: it holds a line break or a zero byte");
    curl_ = curl_easy_init();
    if (curl_ == nullptr) throw FtpError("The FTP client could not be set up");
    dirPath_.clear();
    try {
      perform(dirUrl(dirPath_), [](CURL* c) { curl_easy_setopt(c, CURLOPT_NOBODY, 1L); });
    } catch (...) {
      disconnect();
      throw;
    }
  }

  void changeDir(const std::string& dir) override {
    requireConnection();
    std::string path = dir.starts_with('/') ? "/%2F" : dirPath_;
    size_t start = 0;
    while (start <= dir.size()) {
      size_t end = dir.find('/', start);
      if (end == std::string::npos) end = dir.size();
      if (end > start) path += "/" + escapeSegment(curl_, dir.substr(start, end - start));
      start = end + 1;
    }
    perform(dirUrl(path), [](CURL* c) { curl_easy_setopt(c, CURLOPT_NOBODY, 1L); });
    dirPath_ = path;
  }

  std::string currentDir() override {
    requireConnection();
    quote({"PWD"});
    // The last reply 257 "dir" (a quote inside the name is doubled).
    const size_t reply = replies_.rfind("257 \"");
    if (reply == std::string::npos) throw FtpError("The FTP server did not tell its current folder");
    std::string name;
    for (size_t i = reply + 5; i < replies_.size() && replies_[i] != '\r' && replies_[i] != '\n'; ++i) {
      if (replies_[i] == '"') {
        if (i + 1 < replies_.size() && replies_[i + 1] == '"') {
          name += '"';
          ++i;
          continue;
        }
        return name;
      }
      name += replies_[i];
    }
    throw FtpError("The FTP server did not tell its current folder");
  }

  void setBinaryMode() override {}

  void upload(const std::string& localPath, const std::string& remoteName,
              const std::function<void()>& onSuccess) override {
    requireConnection();
    // The name may go into raw commands (RNTO, DELE), where a line break would start a command
    // of its own.
    if (remoteName.empty() || remoteName.find_first_of(std::string_view("/\r\n\0", 4)) != std::string::npos) {
      fail("Invalid remote file name: " + remoteName);
    }
    int fd = ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("Cannot open " + localPath + ": " + std::strerror(errno));
    struct Close {
      int fd;
      ~Close() { ::close(fd); }
    } closeFd{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) fail("Cannot read " + localPath + ": " + std::strerror(errno));
    // A file the server does not hold yet goes up under its own name, and a broken transfer (a
    // full disk, a lost connection) takes away what the server kept of it. One it holds goes up
    // under a name of its own and replaces the old one only when whole: a broken transfer never
    // spoils the copy the server already has.
    if (!remoteFileExists(remoteName)) {
      storeNew(fd, st, remoteName);
    } else {
      replace(fd, st, remoteName);
    }
    if (onSuccess) onSuccess();
  }

  void disconnect() override {
    if (curl_ == nullptr) return;
    curl_easy_cleanup(curl_);  // sends QUIT on an open connection that is still in order
    curl_ = nullptr;
  }

  void abort() override { aborted_ = true; }

 private:
  // Runs raw commands on the current folder, in order; throws at the first one refused.
  void quote(std::initializer_list<std::string> lines) {
    curl_slist* commands = nullptr;
    for (const std::string& line : lines) commands = curl_slist_append(commands, line.c_str());
    struct Free {
      curl_slist* list;
      ~Free() { curl_slist_free_all(list); }
    } freeList{commands};
    perform(dirUrl(dirPath_), [commands](CURL* c) {
      curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
      curl_easy_setopt(c, CURLOPT_POSTQUOTE, commands);
    });
  }

  // SIZE on the current folder's `name`; false also when the server will not tell (an
  // upload-only folder). `size` is the size it told, or -1.
  bool lookAt(const std::string& name, curl_off_t& size) {
    size = -1;
    try {
      perform(dirUrl(dirPath_) + escapeSegment(curl_, name),
              [](CURL* c) { curl_easy_setopt(c, CURLOPT_NOBODY, 1L); });
    } catch (const FtpError&) {
      if (aborted_) throw;
      return false;
    }
    if (curl_easy_getinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) != CURLE_OK) size = -1;
    return true;
  }

  bool remoteFileExists(const std::string& name) {
    curl_off_t size = -1;
    return lookAt(name, size);
  }

  // STOR of the whole local file as `name`.
  void store(int fd, const struct stat& st, const std::string& name) {
    if (::lseek(fd, 0, SEEK_SET) != 0)
      fail("Cannot read the file to upload: " + std::string(std::strerror(errno)));
    perform(dirUrl(dirPath_) + escapeSegment(curl_, name), [&fd, &st](CURL* c) {
      curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(c, CURLOPT_READFUNCTION, readFromFd);
      curl_easy_setopt(c, CURLOPT_READDATA, &fd);
      curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t(st.st_size));
    });
    // A server may report the upload complete and hold less (its disk lost the end): where it
    // tells the size, a short file is a failed upload, never one to delete the dump after. Some
    // answer before their own write has ended: a short size is asked for again for a while.
    const curl_off_t expected = st.st_size;
    curl_off_t held = -1;
    if (!lookAt(name, held) || held < 0) return;
    const auto giveUp = std::chrono::steady_clock::now() + kSizeSettleTime;
    for (auto pause = std::chrono::milliseconds(25);
         held < expected && std::chrono::steady_clock::now() < giveUp;
         pause = std::min(pause * 2, std::chrono::milliseconds(250))) {
      std::this_thread::sleep_for(pause);
      curl_off_t again = -1;
      if (!lookAt(name, again) || again < 0) break;
      held = again;
    }
    if (held != expected) {
      fail("FTP " + host_ + ": the server holds " + std::to_string(held) + " of the " +
           std::to_string(expected) + " bytes uploaded as " + name);
    }
  }

  // STOR of a name the server does not hold yet. What a broken or aborted upload left under the
  // name is removed (emptied where the server refuses the delete): a part of a dump must not pass
  // for the dump. Not where the server cannot be reached again, which the failure reported says.
  void storeNew(int fd, const struct stat& st, const std::string& name) {
    try {
      store(fd, st, name);
    } catch (const FtpError&) {
      removeQuietly(name);
      throw;
    }
  }

  // Uploads over the server's `name` through a temporary file renamed onto it (RNFR/RNTO). A
  // server that renames onto no existing file gets the old one deleted first, only once the new
  // one is whole; one that allows neither rename nor delete gets the file stored over the old
  // one, as a plain upload does.
  void replace(int fd, const struct stat& st, const std::string& name) {
    const std::string part = "." + name + ".part" + std::to_string(::getpid());
    try {
      store(fd, st, part);
    } catch (const FtpError&) {
      removeQuietly(part);
      throw;
    }
    bool oldRemoved = false;
    try {
      quote({"RNFR " + part, "RNTO " + name});
      return;
    } catch (const FtpError&) {
      // Renamed or not, the server's file under `name` is whole: the part may go.
      if (aborted_) {
        removeQuietly(part);
        throw;
      }
    }
    try {
      quote({"DELE " + name});
      oldRemoved = true;
      quote({"RNFR " + part, "RNTO " + name});
      return;
    } catch (const FtpError&) {
      if (aborted_) throw;
      if (oldRemoved) {
        fail("FTP " + host_ + ": the file was uploaded as " + part + " but could not be renamed to " + name);
      }
    }
    removeQuietly(part);
    store(fd, st, name);
  }

  // Best effort after a failure or an abort: the failure itself is what the caller reports. Where
  // the server refuses the delete, the file is at least emptied. After an abort these requests
  // still run, each within a short time of its own, so that a cancelled upload leaves the server
  // as a failed one does and the abort still ends within seconds.
  void removeQuietly(const std::string& name) {
    if (curl_ == nullptr) return;
    cleaningUp_ = true;
    struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{cleaningUp_};
    try {
      quote({"DELE " + name});
    } catch (const FtpError&) {
      try {
        perform(dirUrl(dirPath_) + escapeSegment(curl_, name), [](CURL* c) {
          curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
          curl_easy_setopt(c, CURLOPT_READFUNCTION, readNothing);
          curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t(0));
        });
      } catch (const FtpError&) {
      }
    }
  }

  static size_t readNothing(char*, size_t, size_t, void*) { return 0; }

  void requireConnection() const {
    if (curl_ == nullptr) fail("Not connected to " + host_);
  }

  std::string dirUrl(const std::string& path) const { return "ftp://" + host_ + path + "/"; }

  // Runs one request on the kept connection with the login and the data-connection settings.
  template <typename Setup>
  void perform(const std::string& url, Setup setup) {
    if (aborted_ && !cleaningUp_) fail("FTP " + host_ + ": " + kAborted);
    curl_easy_reset(curl_);  // keeps the open connection
    replies_.clear();
    errorBuffer_[0] = '\0';
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.c_str());
    curl_easy_setopt(curl_, CURLOPT_PASSWORD, password_.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, collectReplies);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &replies_);
    // Nothing is downloaded; what libcurl reports of a file it only looked at goes nowhere.
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl_, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(curl_, CURLOPT_FTPPORT, passive_ ? nullptr : "-");
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl_, CURLOPT_ACCEPTTIMEOUT_MS, 30000L);
    curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, 60L);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, 120L);
    // libcurl asks at least once a second, also while it waits for the server.
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, stopWhenAborted);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, cleaningUp_ ? &neverAborted_ : &aborted_);
    if (cleaningUp_ && aborted_) curl_easy_setopt(curl_, CURLOPT_TIMEOUT, kCleanUpSeconds);
    setup(curl_);
    const CURLcode code = curl_easy_perform(curl_);
    if (code != CURLE_OK) fail(failureText(code));
  }

  // The reason of a failed request: libcurl's, then the server's last reply, password masked.
  std::string failureText(CURLcode code) const {
    if (code == CURLE_ABORTED_BY_CALLBACK && aborted_) return "FTP " + host_ + ": " + kAborted;
    std::string reply;
    size_t end = replies_.find_last_not_of("\r\n");
    if (end != std::string::npos) {
      size_t start = replies_.find_last_of('\n', end);
      reply = replies_.substr(start == std::string::npos ? 0 : start + 1,
                              end + 1 - (start == std::string::npos ? 0 : start + 1));
    }
    const bool refused =
        !reply.empty() && std::isdigit(static_cast<unsigned char>(reply[0])) && reply[0] >= '4';
    if (refused) return "FTP " + host_ + ": " + curl_easy_strerror(code) + " (" + reply + ")";
    // libcurl's error buffer keeps the first complaint of the request, which in active mode is
    // one it got past while it set up the data connection: it tells the reason only of failures
    // that come before any data connection.
    const bool beforeData = code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_CONNECT ||
                            code == CURLE_LOGIN_DENIED || code == CURLE_REMOTE_ACCESS_DENIED;
    return "FTP " + host_ + ": " +
           (beforeData && errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(code));
  }

  // Throws `text` with every copy of the password masked.
  [[noreturn]] void fail(std::string text) const { throw FtpError(maskPassword(std::move(text), password_)); }

  static constexpr const char* kAborted = "transfer aborted";
  static constexpr long kCleanUpSeconds = 5;

  static int stopWhenAborted(void* aborted, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::atomic<bool>*>(aborted)->load() ? 1 : 0;
  }

  CURL* curl_ = nullptr;
  std::atomic<bool> aborted_{false};
  std::atomic<bool> neverAborted_{false};
  bool cleaningUp_ = false;  // removeQuietly's requests run also after an abort
  std::string host_;
  std::string user_;
  std::string password_;
  bool passive_ = false;
  std::string dirPath_;  // URL path of the current folder; empty for the login folder
  std::string replies_;  // the server's replies to the last request
  char errorBuffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace

std::string maskPassword(std::string text, std::string_view password) {
  static constexpr std::string_view kMask = "***";
  if (password.empty()) return text;
  // The search goes on after the mask, which may itself hold the password ("*").
  for (size_t at = text.find(password); at != std::string::npos; at = text.find(password, at + kMask.size()))
    text.replace(at, password.size(), kMask);
  return text;
}

std::unique_ptr<FtpClient> makeFtpClient() {
  return std::make_unique<CurlFtpClient>();
}

}  // namespace platform
