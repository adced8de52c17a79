// dumpbuilder: writes an export dump file and, optionally, the tree a reader must find in it.
//
//   dumpbuilder [--mode entire|users|tables] [--shape mixed|binary|text|statements]
//               [--endings lf|crlf|cr|mixed] [--size BYTES] [--hole BYTES] [--seed N]
//               [--user NAME] OUT.dmp [EXPECTED.txt]
//
// --help (or no argument) prints the usage.
// EXPECTED.txt gets one line per node in the form that dumptree prints.
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

int64_t number(const std::string& text) {
  size_t used = 0;
  int64_t v = 0;
  try {
    v = std::stoll(text, &used);
  } catch (const std::exception&) {
    usage();
  }
  if (used == text.size()) return v;
  const char unit = text[used];
  if (used + 1 != text.size()) usage();
  if (unit == 'K' || unit == 'k') return v << 10;
  if (unit == 'M' || unit == 'm') return v << 20;
  if (unit == 'G' || unit == 'g') return v << 30;
  usage();
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
