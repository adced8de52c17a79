// tablecheck: checks a table's files and prints what is wrong.
//   tablecheck [--encrypted] [--no-count] [--keys] TABLE...
// --keys also checks every key against the key built from its record.
// TABLE names the table with or without its ".IDX" or ".DAT" extension. A rollback journal left
// beside the table with a change in it is named first: opening the table rolls it back. Exit code 0 when
// every table is sound, 1 when any is not (a missing or unreadable file included), 2 for a usage error.
// --help (or no argument) prints the usage.
#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>

#include "tools/tablecheck/blobcheck.h"
#include "tools/tablecheck/tablecheck.h"

namespace {
constexpr const char* kUsage = "usage: tablecheck [--encrypted] [--no-count] [--keys] TABLE...\n";
}  // namespace

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && std::strcmp(argv[1], "--help") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  tablecheck::Options options;
  int tables = 0;
  bool sound = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--encrypted") == 0) {
      options.encrypted = true;
    } else if (std::strcmp(argv[i], "--no-count") == 0) {
      options.checkKeysPerRecord = false;
    } else if (std::strcmp(argv[i], "--keys") == 0) {
      options.checkRecordKeys = true;
    } else if (argv[i][0] == '-') {
      std::cerr << kUsage;
      return 2;
    } else {
      ++tables;
      try {
        const tablecheck::Report report = tablecheck::CheckTableFiles(argv[i], options);
        std::cout << argv[i] << ": " << report.text();
        const tablecheck::BlobReport blobs = tablecheck::CheckTableBlobs(argv[i]);
        for (const std::string& problem : blobs.problems)
          if (std::find(report.problems.begin(), report.problems.end(), problem) == report.problems.end())
            std::cout << argv[i] << ": " << problem << "\n";
        sound = sound && report.ok() && blobs.ok();
      } catch (const std::exception& e) {
        std::cout << argv[i] << ": cannot be checked: " << e.what() << "\n";
        sound = false;
      }
    }
  }
  if (tables == 0) {
    std::cerr << kUsage;
    return 2;
  }
  return sound ? 0 : 1;
}
