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

#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorerr.h"
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

}  // namespace

int main(int argc, char** argv) {
  bool plan = argc > 1 && std::string_view(argv[1]) == "--plan";
  if (plan) --argc, ++argv;
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: enginesql [--plan] FOLDER [FILE]\n";
    return 2;
  }
  std::string folder = argv[1];
  std::stringstream input;
  if (argc == 3) {
    std::ifstream file(argv[2], std::ios::binary);
    if (!file) {
      std::cerr << "enginesql: cannot read " << argv[2] << '\n';
      return 2;
    }
    input << file.rdbuf();
  } else {
    input << std::cin.rdbuf();
  }
  bool memory = engine::sql::FoldName(folder) == "MEMORY";
  std::error_code error;
  if (!memory) std::filesystem::create_directories(folder, error);
  engine::TDataSession session;
  engine::TDataDirectory* directory =
      memory ? session.OpenDataDirectory("Memory", "") : session.OpenDataDirectory(folder, folder);
  int status = 0;
  for (const std::string& sql : splitStatements(input.str())) {
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
