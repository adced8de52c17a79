// The temporary folder of every test folder: a fresh folder under /tmp (mode 0700, as a work
// folder must be), removed with everything in it when the test ends, even where the test took
// its own write permission away; and a fixture that gives each test one.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace platform::testing {

class TempFolder {
 public:
  TempFolder() {
    char tmpl[] = "/tmp/velmaron-test-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("no temporary folder");
    dir_ = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ec);
    std::filesystem::remove_all(dir_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return dir_; }
  // The path of `name` inside the folder; `file` and `path` are the same.
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string file(const std::string& name) const { return path(name); }

 private:
  std::string dir_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// A test with a folder of its own: `path(name)` inside it, `dir_` the folder itself.
class TempFolderTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return folder_.path(name); }
  static void writeFile(const std::string& p, const std::string& bytes) { testing::writeFile(p, bytes); }
  static std::string readFile(const std::string& p) { return testing::readFile(p); }

  TempFolder folder_;
  const std::filesystem::path dir_{folder_.path()};
};

}  // namespace platform::testing
