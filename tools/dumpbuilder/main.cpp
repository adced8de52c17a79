// dumpbuilder: writes an export dump file and, optionally, the tree a reader must find in it.
//
//   dumpbuilder [--mode entire|users|tables] [--shape mixed|binary|text|statements]
//               [--endings lf|crlf|cr|mixed] [--size BYTES] [--hole BYTES] [--seed N]
//               [--user NAME] OUT.dmp [EXPECTED.txt]
//
// --help (or no argument) prints the usage.
// EXPECTED.txt gets one line per node in the form that dumptree prints. Sizes take K, M or G;
// a size of 0, a negative number or one past 63 bits is a usage error.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "tools/dumpbuilder/dumpbuilder.h"

namespace {

constexpr const char* kUsage =
    "usage: dumpbuilder [--mode entire|users|tables] [--shape mixed|binary|text|statements]\n"
    "                   [--endings lf|crlf|cr|mixed] [--size BYTES] [--hole BYTES] [--seed N]\n"
    "                   [--user NAME] OUT.dmp [EXPECTED.txt]\n";

[[noreturn]] void usage() {
  std::cerr << kUsage;
  std::exit(2);
}

// A count (of bytes: K, M or G after it counts 2^10, 2^20 or 2^30); a negative one or one past
// 63 bits is refused.
int64_t number(const std::string& text) {
  size_t used = 0;
  int64_t v = 0;
  try {
    v = std::stoll(text, &used);
  } catch (const std::exception&) {
    usage();
  }
  int shift = 0;
  if (used != text.size()) {
    const char unit = char(std::toupper(uint8_t(text[used])));
    if (used + 1 != text.size()) usage();
    shift = unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : (usage(), 0);
  }
  if (v < 0 || v > (INT64_MAX >> shift)) usage();
  return v << shift;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && std::string(argv[1]) == "--help")) {
    std::cout << kUsage;
    return 0;
  }
  dumpbuilder::Options o;
  std::string out, expected;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--mode") {
      const std::string v = value();
      o.mode = v == "entire"   ? dumpbuilder::Mode::Entire
               : v == "users"  ? dumpbuilder::Mode::Users
               : v == "tables" ? dumpbuilder::Mode::Tables
                               : (usage(), dumpbuilder::Mode::Entire);
    } else if (a == "--shape") {
      const std::string v = value();
      o.shape = v == "mixed"        ? dumpbuilder::Shape::Mixed
                : v == "binary"     ? dumpbuilder::Shape::Binary
                : v == "text"       ? dumpbuilder::Shape::Text
                : v == "statements" ? dumpbuilder::Shape::Statements
                                    : (usage(), dumpbuilder::Shape::Mixed);
    } else if (a == "--endings") {
      const std::string v = value();
      o.endings = v == "lf"      ? dumpbuilder::Endings::Lf
                  : v == "crlf"  ? dumpbuilder::Endings::CrLf
                  : v == "cr"    ? dumpbuilder::Endings::Cr
                  : v == "mixed" ? dumpbuilder::Endings::Mixed
                                 : (usage(), dumpbuilder::Endings::Mixed);
    } else if (a == "--size") {
      o.targetSize = number(value());
      if (o.targetSize == 0) usage();
    } else if (a == "--hole") {
      o.holeSize = number(value());
    } else if (a == "--seed") {
      o.seed = uint64_t(number(value()));
    } else if (a == "--user") {
      o.user = value();
    } else if (!a.empty() && a[0] == '-') {
      usage();
    } else if (out.empty()) {
      out = a;
    } else if (expected.empty()) {
      expected = a;
    } else {
      usage();
    }
  }
  if (out.empty()) usage();
  try {
    const dumpbuilder::Expected e = dumpbuilder::buildDump(out, o);
    if (!expected.empty()) {
      std::ofstream x(expected, std::ios::binary | std::ios::trunc);
      for (const auto& line : dumpbuilder::nodeLines(e)) x << line << '\n';
      if (!x) throw std::runtime_error("cannot write " + expected);
    }
    std::cerr << out << ": " << e.size << " bytes, " << e.nodes.size() << " nodes, " << e.statements
              << " statements\n";
  } catch (const std::exception& ex) {
    std::cerr << "dumpbuilder: " << ex.what() << '\n';
    return 1;
  }
  return 0;
}
