// enginesql [--plan] FOLDER [FILE]: runs the statements of FILE (or standard input), separated by ";",
// on the database in FOLDER ("Memory" for the in-memory database; a missing folder is
// created). A SELECT prints a header line and its rows, tab-separated, NULL as "NULL"; any
// other statement prints its rows affected. An engine error prints its code and message, and
// the run goes on with the next statement and exits 1 at the end. With --plan, each statement's
// plan (one line per query, "plan: " first) is printed before it runs.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"

namespace {

// The statements of a text: split at ";" outside quotes and brackets, blank pieces dropped.
std::vector<std::string> splitStatements(const std::string& text) {
  std::vector<std::string> out;
  std::string piece;
  char quote = 0;
  for (char c : text) {
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '[') {
      quote = ']';
    } else if (c == ';') {
      if (piece.find_first_not_of(" \t\r\n") != std::string::npos) out.push_back(piece);
      piece.clear();
      continue;
    }
    piece += c;
  }
  if (piece.find_first_not_of(" \t\r\n") != std::string::npos) out.push_back(piece);
  return out;
}

void printRows(engine::TDataCursor& cursor) {
  std::string line;
  for (uint16_t p = 1; p <= cursor.FieldCount(); ++p) {
    const auto& d = cursor.GetFieldDesc(p);
    if (d.Bytes()[252]) continue;
    line += (line.empty() ? "" : "\t") + d.Name();
  }
  std::cout << line << '\n';
  std::vector<uint8_t> record(cursor.RecordSize());
  cursor.SetToBegin();
  std::string text;
  while (cursor.GetNextRecord(record.data()) == 0) {
    line.clear();
    bool first = true;
    for (uint16_t p = 1; p <= cursor.FieldCount(); ++p) {
      if (cursor.GetFieldDesc(p).Bytes()[252]) continue;
      if (!first) line += '\t';
      first = false;
      line += engine::sql::ColumnText(cursor, p, record.data(), text) ? text : "NULL";
    }
    std::cout << line << '\n';
  }
}

// The most text read as statements.
constexpr size_t kMaxInput = size_t(64) << 20;

// Reads `in` to its end, but no more than one byte past kMaxInput. False on a read error.
bool readBounded(std::istream& in, std::string& text) {
  char buffer[65536];
  while (text.size() <= kMaxInput) {
    in.read(buffer, sizeof buffer);
    text.append(buffer, size_t(in.gcount()));
    if (in.eof()) return true;
    if (!in) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool plan = argc > 1 && std::string_view(argv[1]) == "--plan";
  if (plan) --argc, ++argv;
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: enginesql [--plan] FOLDER [FILE]\n";
    return 2;
  }
  std::string folder = argv[1];
  std::string input;
  if (argc == 3) {
    // Only a regular file: a device or a pipe could be read for ever, and a folder reads as
    // nothing at all.
    std::error_code error;
    if (!std::filesystem::is_regular_file(argv[2], error)) {
      std::cerr << "enginesql: cannot read " << argv[2]
                << (std::filesystem::exists(argv[2], error) ? ": not a regular file" : ": no such file")
                << '\n';
      return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    if (!file || !readBounded(file, input)) {
      std::cerr << "enginesql: cannot read " << argv[2] << '\n';
      return 2;
    }
  } else if (!readBounded(std::cin, input)) {
    std::cerr << "enginesql: cannot read standard input\n";
    return 2;
  }
  if (input.size() > kMaxInput) {
    std::cerr << "enginesql: the statements are longer than " << kMaxInput << " bytes\n";
    return 2;
  }
  bool memory = engine::sql::FoldName(folder) == "MEMORY";
  std::error_code error;
  if (!memory && std::filesystem::exists(folder, error) && !std::filesystem::is_directory(folder, error)) {
    std::cerr << "enginesql: " << folder << " is not a folder\n";
    return 2;
  }
  if (!memory) std::filesystem::create_directories(folder, error);
  engine::TDataSession session;
  engine::TDataDirectory* directory =
      memory ? session.OpenDataDirectory("Memory", "") : session.OpenDataDirectory(folder, folder);
  int status = 0;
  for (const std::string& sql : splitStatements(input)) {
    try {
      engine::sql::TQueryStatement statement(*directory);
      statement.Prepare(sql);
      if (plan)
        for (const engine::sql::TQueryPlan& p : statement.Plan())
          std::cout << "plan: " << p.ToString() << '\n';
      engine::TDataCursor* result = statement.Execute();
      if (result) {
        printRows(*result);
      } else {
        std::cout << statement.RowsAffected << " rows affected\n";
      }
    } catch (const engine::EVELDOREngineError& e) {
      std::cout << "error " << e.ErrorCode() << ": " << e.what() << '\n';
      status = 1;
    } catch (const std::exception& e) {
      std::cout << "error: " << e.what() << '\n';
      status = 1;
    }
  }
  session.CloseDataDirectory(directory);
  return status;
}
