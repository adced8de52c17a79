// Small pieces the fuzz targets share.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace fuzz_test {

// A file of this process in the temporary folder, removed at exit.
struct ScratchFile {
  explicit ScratchFile(const char* name)
      : path((std::filesystem::temp_directory_path() /
              ("velmaron-fuzz-" + std::to_string(::getpid()) + "-" + name))
                 .string()) {}
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  std::string path;
};

}  // namespace fuzz_test
