// A statement model written out as one line of text, for table-driven parser tests and the
// fuzzer: the query's kind, the flags and options that differ from a fresh query, and its lists.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "tests/engine/storage/datafile_test_util.h"

namespace sql_test {

using engine::EVELDOREngineError;
using engine::TDataDirectory;
using engine::TDataSession;
using engine::TExpToken;
using namespace engine::sql;

inline std::string tree(const TExpToken* n) {
  return ExpTreeText(n);
}

inline std::string dump(const TDataQuery& q) {
  static const char* const kKinds[] = {
      "?",           "SELECT",     "INSERT",       "UPDATE",    "DELETE", "CREATE TABLE",
      "ALTER TABLE", "DROP TABLE", "CREATE INDEX", "DROP INDEX"};
  std::ostringstream o;
  o << kKinds[q.Kind];
  auto flag = [&](bool v, const char* name) {
    if (v) o << ' ' << name;
  };
  flag(q.IsSubQuery, "SUB");
  flag(q.Distinct, "DISTINCT");
  flag(q.SelectStar, "STAR");
  flag(q.InMemory, "MEMORY");
  flag(q.MultiTable, "MULTI");
  flag(q.HasConditions, "COND");
  flag(q.HasAvg, "HASAVG");
  flag(q.CalculatedColumn, "CALC");
  flag(q.WithLocks, "LOCKS");
  flag(q.NoJoinOptimize, "NOJOINOPT");
  flag(q.InsertFromSelect, "FROMSELECT");
  flag(q.NoAutoInc, "NOAUTOINC");
  flag(q.CommitFlush, "FLUSH");
  flag(q.IfExists, "IFEXISTS");
  flag(q.IfNotExists, "IFNOTEXISTS");
  flag(q.NoBackup, "NOBACKUP");
  flag(q.Encrypted, "ENCRYPTED");
  if (!q.TargetTableName.empty()) o << " target=" << q.TargetTableName;
  if (!q.IndexName.empty()) o << " index=" << q.IndexName;
  if (q.Top >= 0) o << " top=" << q.Top;
  if (q.UnionKind) o << " union=" << int(q.UnionKind);
  if (q.CommitIntervalGiven) o << " commit=" << q.CommitInterval;
  if (q.LanguageGiven) o << " lang=" << q.LanguageId;
  if (q.SortGiven) o << " sort=" << q.SortId;
  if (!q.Password.empty()) o << " password=" << q.Password;
  if (!q.Description.empty()) o << " desc=" << q.Description << (q.DescriptionGiven ? "!" : "");
  if (q.BlobBlockSize != 512) o << " blob=" << q.BlobBlockSize << (q.BlobBlockSizeGiven ? "!" : "");
  if (q.UserMajorVersion != 1 || q.UserMinorVersion != 0)
    o << " version=" << q.UserMajorVersion << "." << q.UserMinorVersion << (q.MinorVersionGiven ? "!" : "");
  if (q.LastAutoInc != -1) o << " autoinc=" << q.LastAutoInc;
  for (const auto& f : q.ResultFields) {
    o << " col(";
    if (f->AggregateKind) o << "agg" << int(f->AggregateKind) << (f->CountStar ? "*" : "") << ":";
    o << (f->Expression ? f->ExpressionText
                        : (f->TableName.empty() ? "" : f->TableName + ".") + f->ColumnName);
    if (!f->Visible) o << " AS " << f->Alias;
    o << ")";
  }
  for (const auto& t : q.SourceTables)
    o << " from(" << t->TableNumber << ":" << (t->InMemory ? "MEMORY " : "") << t->TableName << " "
      << t->CorrelationName << (t->DirectoryName.empty() ? "" : " @" + t->DirectoryName) << ")";
  for (size_t i = 0; i < 2; ++i)
    if (q.Conditions[i]) o << (i ? " having" : " where") << tree(q.Conditions[i].get());
  for (const auto& g : q.GroupBy)
    o << " group("
      << (g->ByNumber ? std::to_string(g->ColumnNumber)
                      : (g->TableName.empty() ? "" : g->TableName + ".") + g->ColumnName)
      << ")";
  for (const auto& g : q.OrderBy)
    o << " order("
      << (g->ByNumber ? std::to_string(g->ColumnNumber)
                      : (g->TableName.empty() ? "" : g->TableName + ".") + g->ColumnName)
      << (g->Descending ? " DESC" : "") << ")";
  if (q.OrderByNoCase) o << " NOCASE";
  for (const auto& f : q.UpdateFields)
    o << " set(" << (f->TableName.empty() ? "" : f->TableName + ".") << f->ColumnName << ")";
  for (const auto& v : q.UpdateValues) o << " value(" << v->Text << ")";
  for (const auto& f : q.CreateFields) {
    o << " field("
      << (f->Add        ? "ADD "
          : f->Redefine ? "REDEFINE "
          : f->Drop     ? "DROP "
                        : "")
      << (f->OldName.empty() ? "" : f->OldName + "->") << f->Name << ":" << int(f->Type) << "/"
      << int(f->Size);
    if (f->Scale) o << "." << int(f->Scale);
    if (f->Position) o << " AT " << f->Position;
    if (f->Required) o << " NOT NULL";
    if (f->DefaultGiven) o << " DEFAULT " << f->DefaultValue;
    if (f->MinGiven) o << " MIN " << f->MinValue;
    if (f->MaxGiven) o << " MAX " << f->MaxValue;
    if (f->CharCaseGiven) o << " CASE " << int(f->CharCase);
    if (f->DescriptionGiven) o << " DESC " << f->Description;
    o << ")";
  }
  auto index = [&](const char* what, const TCreateIndex& x) {
    o << " " << what << "(" << (x.Add ? "ADD " : x.Redefine ? "REDEFINE " : x.Drop ? "DROP " : "") << x.Name;
    for (const auto& c : x.Columns) o << " " << c;
    if (x.Unique) o << " UNIQUE";
    if (x.Descending) o << " DESC";
    if (x.NoCase) o << " NOCASE";
    if (x.Compression) o << " COMPRESS " << int(x.Compression);
    o << ")";
  };
  for (const auto& x : q.CreateIndexes) index("key", *x);
  if (q.TextIndex) index("text", *q.TextIndex);
  if (q.StopWordsGiven) o << " stop=" << q.StopWords.size();
  if (q.SpaceChars.any()) o << " space=" << q.SpaceChars.count();
  if (q.IncludeChars.any()) o << " include=" << q.IncludeChars.count();
  return o.str();
}

// An in-memory table whose columns are 32-bit integers, or CHAR(10) for a name ending in "$"
// (left NULL), holding one record per row; the first column indexed when `indexFirst`.
inline void createTable(TDataDirectory& directory, const std::string& name,
                        const std::vector<std::string>& columns,
                        const std::vector<std::vector<int32_t>>& rows, bool indexFirst = false) {
  engine::TDataCursor c(directory);
  c.SetTableName(name);
  c.SetInMemory(true);
  c.SetExclusive(true);
  engine::TCreateTableArgs args;
  args.NoPrimaryIndex = true;
  args.Overwrite = true;
  args.BlobBlockSize = 512;
  for (size_t i = 0; i < columns.size(); ++i) {
    bool text = columns[i].back() == '$';
    args.Fields.push_back(
        datafile_test::field(uint16_t(i + 1), text ? columns[i].substr(0, columns[i].size() - 1) : columns[i],
                             text ? 1 : 6, text ? 10 : 0));
  }
  args.Indexes.resize(1);
  if (indexFirst) {
    engine::TIndexDescriptor index;
    index.name = "BY" + columns[0];
    index.fields[0] = 1;
    args.Indexes.push_back(index);
  }
  c.CreateTable(args);
  c.Open();
  std::vector<uint8_t> record(c.RecordSize());
  for (const auto& row : rows) {
    c.ClearRecordBuffer(record.data());
    for (size_t i = 0; i < row.size(); ++i) {
      uint8_t value[4];
      engine::PutIntegerValue(value, row[i]);
      c.PutField(uint16_t(i + 1), record.data(), value);
    }
    c.AppendRecord(record.data());
  }
}

// The preparation steps in their order, as far as the engine goes before it reads rows: sources
// opened, columns bound, join conditions taken out and checked, tables ordered, lists bound,
// WHERE handed down around the choice of the driving table, the result table made when the
// statement needs one.
inline void prepare(TDataQuery& q) {
  q.OpenSources(nullptr);
  if (q.Kind != qkSelect) q.BindTargetColumns();
  if (q.Kind == qkSelect) q.BindResultColumns();
  if (q.Kind == qkInsert) return;
  q.LinkSourceTables();
  q.ExtractJoinConditions();
  q.CheckWhereCondition();
  if (q.HavingGiven) q.BindHavingAggregates();
  q.SortSourceTables();
  q.CheckJoins();
  if (q.OrderByGiven) q.BindOrderBy();
  if (q.GroupByGiven) {
    q.BindGroupBy();
  } else if (q.Distinct) {
    q.CheckDistinct();
  }
  q.HandDownWhere(hpIndexed);
  if (q.MultiTable && q.ShouldReorderJoins()) q.ReorderJoins();
  q.HandDownWhere(hpUnindexed);
  q.applyPlan();
}

// Every query of the statement, master first, separated by " | ".
inline std::string dump(const TQueryStatement& s) {
  std::string text;
  for (const auto& q : s.Queries()) text += (text.empty() ? "" : " | ") + dump(*q);
  return text;
}

}  // namespace sql_test

namespace sql_test {

// A database in a temporary folder that runs SQL texts: each text's rows as one line of text,
// values separated by "|" and rows by "\n", in the result's order.
class SqlDatabase {
 public:
  explicit SqlDatabase(const std::string& folder) {
    session_.SetPrivateDirectory(folder);
    directory_ = session_.OpenDataDirectory("db", folder);
  }
  ~SqlDatabase() { session_.CloseDataDirectory(directory_); }
  // Runs the text; the rows of its last statement (empty for a change).
  std::string run(const std::string& sql) {
    TQueryStatement s(*directory_);
    s.Prepare(sql);
    engine::TDataCursor* c = s.Execute();
    affected = s.RowsAffected;
    return c ? text(*c) : "";
  }
  // The rows, or "error: " and the engine error's message.
  std::string rows(const std::string& sql) {
    try {
      return run(sql);
    } catch (const EVELDOREngineError& e) {
      return "error: " + e.ErrorText();
    }
  }
  static std::string text(engine::TDataCursor& c) {
    std::string out, value;
    std::vector<uint8_t> record(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) {
      std::string line;
      for (uint16_t p = 1; p <= c.FieldCount(); ++p)
        if (!c.GetFieldDesc(p).Bytes()[252])
          line += (line.empty() ? "" : "|") + (ColumnText(c, p, record.data(), value) ? value : "NULL");
      out += line + "\n";
    }
    return out;
  }
  TDataDirectory& directory() { return *directory_; }
  int32_t affected = 0;

 private:
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
};

}  // namespace sql_test

namespace sql_test {

// One session on a folder for as long as the object lives (its password added when one is
// given), running statements and giving the rows of queries, each as its column texts.
class SessionDatabase {
 public:
  explicit SessionDatabase(const std::string& folder, const char* password = nullptr)
      : directory_(session_.OpenDataDirectory("db", folder)) {
    if (password) session_.AddPassword(password);
  }
  ~SessionDatabase() { session_.CloseDataDirectory(directory_); }
  SessionDatabase(const SessionDatabase&) = delete;
  SessionDatabase& operator=(const SessionDatabase&) = delete;
  int64_t run(const std::string& text) {
    TQueryStatement statement(*directory_);
    statement.Prepare(text);
    statement.Execute();
    return statement.RowsAffected;
  }
  engine::TDataDirectory& directory() { return *directory_; }
  std::vector<std::vector<std::string>> rows(const std::string& query) {
    TQueryStatement statement(*directory_);
    statement.Prepare(query);
    engine::TDataCursor* c = statement.Execute();
    std::vector<std::vector<std::string>> out;
    std::vector<uint8_t> record(c->RecordSize());
    std::string text;
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0) {
      out.emplace_back();
      for (uint16_t p = 1; p <= c->FieldCount(); ++p)
        out.back().push_back(ColumnText(*c, p, record.data(), text) ? text : "NULL");
    }
    return out;
  }

 private:
  engine::TDataSession session_;
  engine::TDataDirectory* directory_;
};

}  // namespace sql_test

namespace sql_test {

// `text` with every "%t" replaced by `table`.
inline std::string withTable(std::string text, const std::string& table) {
  for (size_t at; (at = text.find("%t")) != std::string::npos;) text.replace(at, 2, table);
  return text;
}

// Makes table "t" again over its own files with the fields it has: the same files, emptied and
// written anew, rather than new ones under its name.
inline void makeAgainInPlace(TDataDirectory& directory) {
  engine::TCreateTableArgs args;
  {
    engine::TDataCursor c(directory);
    c.SetTableName("t");
    c.Open();
    const engine::TDataFile& data = c.Table()->DataFile();
    for (uint16_t p = 1; p <= data.GetFieldCount(); ++p) args.Fields.push_back(*data.GetFieldDescriptor(p));
    args.BlobBlockSize = uint16_t(data.GetBlobBlockSize());
  }
  args.Indexes.resize(1);
  args.NoPrimaryIndex = true;
  args.Overwrite = true;
  engine::TDataCursor c(directory);
  c.SetTableName("t");
  c.SetExclusive(true);
  c.CreateTable(args);
}

}  // namespace sql_test
