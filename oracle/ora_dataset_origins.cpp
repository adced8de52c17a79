// The origins and defaults of a query's fields: the select list and the FROM list name most
// columns' tables; the data dictionary (all_tab_columns) settles stars and unqualified columns
// of a join, and gives the column defaults.
#include <string>
#include <vector>

#include "dataaccess/memdata_shared.h"
#include "oracle/ora_dataset.h"
#include "oracle/ora_sqltext.h"
#include "platform/textrules.h"

namespace oracle {

namespace da = dataaccess;
namespace ds = dataset;

namespace {

// A name as the dictionary and the record store hold it: a quoted one as written, others in
// upper case.
std::string dictionaryName(const std::string& name) {
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') return name.substr(1, name.size() - 2);
  return platform::asciiUpperCased(name);
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// A stored default: trimmed, and a quoted literal without its quotes.
std::string defaultText(const std::string& stored) {
  std::string text = da::TrimText(stored);
  if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') text = text.substr(1, text.size() - 2);
  return text;
}

struct WorkItem {
  std::string column, table, expression, resultName, defaultText;
  bool star = false;
  bool used = false;
};

struct TableRef {
  std::string name, alias;
};

struct ColumnRow {
  std::string table, column, defaultText;
  int tableId = 0;
};

}  // namespace

void TOraDataSet::readDictionary() {
  const std::string sql = OwnerFinalSQL(InternalSQL());
  std::vector<TTableInfo> infos;
  GetTablesInfo(sql, infos);
  std::vector<TableRef> tables;
  for (const TTableInfo& t : infos) {
    TableRef ref{dictionaryName(t.TableName), dictionaryName(t.Alias)};
    // A schema-qualified name keeps its dot: each part as the dictionary holds it.
    if (const size_t dot = t.TableName.find('.'); dot != std::string::npos && t.TableName.front() != '"')
      ref.name = platform::asciiUpperCased(t.TableName);
    if (ref.alias.empty()) ref.alias = ref.name;
    tables.push_back(ref);
  }
  std::string fallback = tables.empty() ? std::string() : tables.front().name;

  std::vector<WorkItem> work;
  bool unqualified = false;
  int stars = 0;
  for (const TSelectItem& item : ScanSelectList(sql)) {
    WorkItem w;
    w.table = dictionaryName(item.Table);
    for (const TableRef& t : tables)
      if (!w.table.empty() && w.table == t.alias) w.table = t.name;
    if (item.Column == "*") {
      w.star = true;
      ++stars;
      if (w.table.empty())
        unqualified = true;
      else
        fallback = w.table;
    } else {
      w.column = item.Column.empty() ? std::string() : dictionaryName(item.Column);
      w.expression = platform::asciiUpperCased(item.Expression);
      w.resultName = !item.Alias.empty() ? dictionaryName(item.Alias)
                     : !w.column.empty() ? w.column
                                         : w.expression;
      if (!w.column.empty() && w.table.empty()) unqualified = true;
    }
    work.push_back(std::move(w));
  }

  const bool defaults = OptionsDS().DefaultValues;
  const bool askDictionary = defaults || (tables.size() >= 2 && (unqualified || stars >= 2));
  std::unique_ptr<da::TCustomDADataSet> dictionary;
  auto* session = dynamic_cast<TOraSession*>(UsedConnection());
  if (askDictionary && session && !tables.empty()) {
    const bool version7 = session->GetServerVersion().rfind('7', 0) == 0;
    auto ownerAndTable = [&](const std::string& name, std::string& table) {
      const size_t dot = name.find('.');
      table = dot == std::string::npos ? name : name.substr(dot + 1);
      if (dot != std::string::npos) return quoted(name.substr(0, dot));
      return version7 ? quoted(platform::asciiUpperCased(session->Username()))
                      : std::string("sys_context('USERENV', 'CURRENT_SCHEMA')");
    };
    const bool withDefault = defaults && tables.size() == 1;
    std::string text;
    for (size_t j = 0; j < tables.size(); ++j) {
      std::string table;
      const std::string owner = ownerAndTable(tables[j].name, table);
      std::string part = "SELECT table_name,column_name," + std::to_string(j + 1) + " table_id";
      if (withDefault) part += ",data_default";
      part += ",column_id FROM all_tab_columns WHERE owner = " + owner + " and table_name = " + quoted(table);
      text += j == 0 ? part : "\rUNION (\r" + part + "\r)\r";
    }
    if (tables.size() >= 2)
      text = "SELECT table_name,column_name,table_id FROM (\r" + text + ")\rORDER BY table_id,column_id";
    else
      text += " ORDER BY column_id";
    dictionary = session->CreateDataSet();
    dictionary->SetInternal(true);
    dictionary->SetSQL(text);
    dictionary->Open();
    std::vector<ColumnRow> rows;
    for (; !dictionary->Eof(); dictionary->Next()) {
      ColumnRow row{
          dictionary->Fields(0).AsString(), dictionary->Fields(1).AsString(),
          withDefault ? defaultText(dictionary->FieldByName("DATA_DEFAULT").AsString()) : std::string(),
          dictionary->Fields(2).AsInteger()};
      rows.push_back(std::move(row));
    }
    dictionary->Close();

    std::vector<WorkItem> expanded;
    for (WorkItem& w : work) {
      if (w.star) {
        int tableId = 0;
        for (const ColumnRow& row : rows) {
          if (!w.table.empty() && (row.table != w.table.substr(w.table.find('.') + 1) ||
                                   (tableId != 0 && row.tableId != tableId)))
            continue;
          tableId = row.tableId;
          WorkItem column;
          column.table = row.table;
          column.column = column.resultName = row.column;
          column.defaultText = row.defaultText;
          expanded.push_back(std::move(column));
        }
        continue;
      }
      if (!w.column.empty() && w.table.empty()) {
        w.table = fallback;
        for (const ColumnRow& row : rows)
          if (row.column == w.column) {
            w.table = row.table;
            w.defaultText = row.defaultText;
            break;
          }
      }
      expanded.push_back(std::move(w));
    }
    work = std::move(expanded);

    if (defaults && tables.size() >= 2)
      for (const TableRef& t : tables) {
        std::string table;
        const std::string owner = ownerAndTable(t.name, table);
        dictionary->SetSQL("SELECT column_name,data_default FROM all_tab_columns WHERE owner = " + owner +
                           " and table_name = " + quoted(table));
        dictionary->Open();
        for (; !dictionary->Eof(); dictionary->Next()) {
          const std::string value = defaultText(dictionary->Fields(1).AsString());
          if (value.empty()) continue;
          for (WorkItem& w : work)
            if (w.column == dictionary->Fields(0).AsString()) w.defaultText = value;
        }
        dictionary->Close();
      }
  }

  for (int i = 0; i < FieldCount(); ++i) {
    ds::Field& field = Fields(i);
    if (field.Kind != ds::FieldKind::Data || field.FieldNo <= 0) continue;
    const da::TFieldDesc& desc = Data().Fields[field.FieldNo - 1];
    const std::string actual =
        platform::asciiUpperCased(desc.ActualName.empty() ? desc.Name : desc.ActualName);
    DA_ASSERT(!actual.empty(), "Field without its column name");
    WorkItem* match = nullptr;
    for (WorkItem& w : work)
      if (!w.used && !w.star && w.resultName == actual) {
        match = &w;
        break;
      }
    field.Origin.clear();
    if (match) {
      match->used = true;
      if (!match->column.empty())
        field.Origin = (match->table.empty() ? fallback : match->table) + "." + match->column;
      if (!match->defaultText.empty()) field.DefaultExpression = match->defaultText;
    } else if (tables.size() == 1) {
      field.Origin = fallback + "." + actual;
    }
  }
}

}  // namespace oracle
