// CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX.
#include "engine/base/veldorhelpers.h"
#include "engine/sql/veldorsq.h"
#include "engine/sql/veldorsq_tokens.h"

namespace engine::sql {

namespace {

constexpr std::string_view kKeyStart[] = {"CONSTRAINT", "PRIMARY", "UNIQUE",     "ASC",
                                          "ASCENDING",  "DESC",    "DESCENDING", "NOCASE"};

void parseIfExists(TExpressionParser& p, bool withNot, bool& flag) {
  if (!AcceptKeyword(p, "IF")) return;
  if (withNot) {
    ExpectKeyword(p, "NOT", "NOT keyword expected after IF keyword, instead found '");
    ExpectKeyword(p, "EXISTS", "EXISTS keyword expected after NOT keyword, instead found '");
  } else {
    ExpectKeyword(p, "EXISTS", "EXISTS keyword expected after IF keyword, instead found '");
  }
  flag = true;
}

void parseTargetName(TExpressionParser& p, TDataQuery& q, std::string_view message) {
  if (AcceptKeyword(p, "MEMORY")) {
    q.InMemory = true;
    q.TargetTableName = ExpectName(p, "Table name expected, instead found '");
  } else {
    q.TargetTableName = ExpectName(p, message);
  }
}

}  // namespace

void TDataQuery::parseIndexOptions(TCreateIndex& index) {
  TExpressionParser& p = Owner.Parser();
  if (AcceptKeyword(p, "UNIQUE")) index.Unique = true;
  if (AcceptKeyword(p, "ASC") || AcceptKeyword(p, "ASCENDING")) {
    index.Descending = false;
  } else if (AcceptKeyword(p, "DESC") || AcceptKeyword(p, "DESCENDING")) {
    index.Descending = true;
  }
  if (AcceptKeyword(p, "NOCASE")) index.NoCase = true;
}

void TDataQuery::parseCompression(TCreateIndex& index) {
  TExpressionParser& p = Owner.Parser();
  if (!AcceptKeyword(p, "COMPRESS")) return;
  if (AcceptKeyword(p, "FULL")) {
    index.Compression = 3;
  } else if (AcceptKeyword(p, "DUPBYTE")) {
    index.Compression = 1;
  } else if (AcceptKeyword(p, "TRAILBYTE")) {
    index.Compression = 2;
  } else if (AcceptKeyword(p, "NONE")) {
    index.Compression = 0;
  } else {
    FoundError(p,
               "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found '");
  }
}

void TDataQuery::parsePrimaryKey(bool add, bool redefine) {
  TExpressionParser& p = Owner.Parser();
  if (AcceptKeyword(p, "CONSTRAINT"))
    ExpectName(p, "Constraint name expected after CONSTRAINT keyword, instead found '");
  auto& index = *CreateIndexes.emplace_back(std::make_unique<TCreateIndex>(*this));
  index.Add = add;
  index.Redefine = redefine;
  parseIndexOptions(index);
  ExpectKeyword(p, "PRIMARY", "PRIMARY keyword expected, instead found '");
  ExpectKeyword(p, "KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
  ExpectToken(p, '(', "Left parentheses expected after KEY keyword, instead found '");
  for (;;) {
    TClauseParser(*this).ParseIndexColumn(index);
    if (!p.IsTokenKind(',')) break;
    p.NextToken();
  }
  ExpectToken(p, ')', "Right parentheses expected after PRIMARY KEY clause, instead found '");
  index.BuildColumnList();
  parseCompression(index);
}

void TDataQuery::parseColumnAttributes(TCreateField& field) {
  TExpressionParser& p = Owner.Parser();
  if (AcceptKeyword(p, "DESCRIPTION")) {
    field.Description = OptionText(p, "DESCRIPTION");
    field.DescriptionGiven = true;
  }
  if (AcceptKeyword(p, "NOT")) {
    ExpectKeyword(p, "NULL", "NULL keyword expected after NOT keyword, instead found '");
    field.Required = field.RequiredGiven = true;
  }
  if (AcceptKeyword(p, "DEFAULT")) {
    field.DefaultValue = OptionText(p, "DEFAULT");
    field.DefaultGiven = true;
  }
  if (AcceptKeyword(p, "MIN") || AcceptKeyword(p, "MINIMUM")) {
    field.MinValue = OptionText(p, "MIN");
    field.MinGiven = true;
  }
  if (AcceptKeyword(p, "MAX") || AcceptKeyword(p, "MAXIMUM")) {
    field.MaxValue = OptionText(p, "MAX");
    field.MaxGiven = true;
  }
  if (AcceptKeyword(p, "CHARCASE")) {
    if (AcceptKeyword(p, "UPPER")) {
      field.CharCase = 2;
    } else if (AcceptKeyword(p, "LOWER")) {
      field.CharCase = 1;
    } else if (AcceptKeyword(p, "NOCHANGE")) {
      field.CharCase = 0;
    } else {
      FoundError(p, "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
    }
    field.CharCaseGiven = true;
  }
}

void TDataQuery::parseTextIndex() {
  TExpressionParser& p = Owner.Parser();
  if (!AcceptKeyword(p, "TEXT")) return;
  ExpectKeyword(p, "INDEX", "INDEX keyword expected after TEXT keyword, instead found '");
  TextIndex = std::make_unique<TCreateIndex>(*this);
  ExpectToken(p, '(', "Left parentheses expected after TEXTINDEX keyword, instead found '");
  for (;;) {
    TClauseParser(*this).ParseIndexColumn(*TextIndex);
    if (!p.IsTokenKind(',')) break;
    p.NextToken();
  }
  ExpectToken(p, ')', "Right parentheses expected after TEXT INDEX clause, instead found '");
  TextIndex->BuildColumnList();
  if (AcceptKeyword(p, "STOP")) {
    ExpectKeyword(p, "WORDS", "WORDS keyword expected after STOP keyword, instead found '");
    SplitBySpaces(OptionText(p, "WORDS"), StopWords);
    StopWordsGiven = true;
  }
  if (AcceptKeyword(p, "SPACE")) {
    ExpectKeyword(p, "CHARS", "CHARS keyword expected after SPACE keyword, instead found '");
    SpaceChars = TClauseParser(*this).ParseCharSet();
  }
  if (AcceptKeyword(p, "INCLUDE")) {
    ExpectKeyword(p, "CHARS", "CHARS keyword expected after INCLUDE keyword, instead found '");
    IncludeChars = TClauseParser(*this).ParseCharSet();
  }
}

void TDataQuery::parseTableOptions(bool setGiven) {
  TExpressionParser& p = Owner.Parser();
  if (AcceptKeyword(p, "DESCRIPTION")) {
    Description = OptionText(p, "DESCRIPTION");
    DescriptionGiven = setGiven;
  }
  if (AcceptKeyword(p, "BLOB")) {
    ExpectKeyword(p, "BLOCK", "BLOCK keyword expected after BLOB keyword, instead found '");
    ExpectKeyword(p, "SIZE", "SIZE keyword expected after BLOCK keyword, instead found '");
    BlobBlockSize =
        uint16_t(ExpectInteger(p, "Integer value expected after SIZE keyword, instead found '", 1, 65535));
    BlobBlockSizeGiven = setGiven;
  }
  bool languageGiven = LanguageGiven, sortGiven = SortGiven;
  parseLanguage();
  if (!setGiven) LanguageGiven = languageGiven, SortGiven = sortGiven;
  parseEncryption(setGiven);
  if (AcceptKeyword(p, "USER")) {
    ExpectKeyword(p, "MAJOR", "MAJOR keyword expected after USER keyword, instead found '");
    ExpectKeyword(p, "VERSION", "VERSION keyword expected after MAJOR keyword, instead found '");
    UserMajorVersion =
        uint16_t(ExpectInteger(p, "Integer value expected after VERSION keyword, instead found '", 0, 65535));
    MajorVersionGiven = setGiven;
    if (AcceptKeyword(p, "USER")) {
      ExpectKeyword(p, "MINOR", "MINOR keyword expected after USER keyword, instead found '");
      ExpectKeyword(p, "VERSION", "VERSION keyword expected after MINOR keyword, instead found '");
      UserMinorVersion = uint16_t(
          ExpectInteger(p, "Integer value expected after VERSION keyword, instead found '", 0, 65535));
      MinorVersionGiven = setGiven;
    }
  }
  if (AcceptKeyword(p, "LAST")) {
    ExpectKeyword(p, "AUTOINC", "AUTOINC keyword expected after LAST keyword, instead found '");
    LastAutoInc = TClauseParser(*this).ParseAutoIncValue();
  }
}

void TDataQuery::ParseCreateTable() {
  TExpressionParser& p = Owner.Parser();
  RequestLive = false;
  parseIfExists(p, true, IfNotExists);
  parseTargetName(p, *this, "Table name expected after CREATE TABLE keywords, instead found '");
  ExpectToken(p, '(', "Left parentheses expected before list of table columns, instead found '");
  while (!p.IsTokenKind(')') && !IsAnyKeyword(p, kKeyStart) &&
         !IsAnyKeyword(p, {"TEXT", "DESCRIPTION", "BLOB", "LANGUAGE", "ENCRYPTED", "USER"})) {
    auto& field = *CreateFields.emplace_back(std::make_unique<TCreateField>(*this));
    TClauseParser(*this).ParseColumnDefinition(field, false, nullptr);
    field.ApplyDataType(0);
    if (!p.IsTokenKind(',')) parseColumnAttributes(field);
    if (!p.IsTokenKind(',')) break;
    p.NextToken();
  }
  if (IsAnyKeyword(p, kKeyStart)) parsePrimaryKey(false, false);
  parseTextIndex();
  parseTableOptions(false);
  ExpectToken(p, ')', "Right parentheses expected after CREATE TABLE statement, instead found '");
  expectStatementEnd("CREATE TABLE");
}

void TDataQuery::ParseCreateIndex() {
  TExpressionParser& p = Owner.Parser();
  parseIfExists(p, true, IfNotExists);
  auto& index = *CreateIndexes.emplace_back(std::make_unique<TCreateIndex>(*this));
  parseIndexOptions(index);
  ExpectKeyword(p, "INDEX", "INDEX keyword expected, instead found '");
  index.Name = ExpectName(p, "Index name expected after INDEX keyword, instead found '");
  ExpectKeyword(p, "ON", "ON keyword expected after index name, instead found '");
  parseTargetName(p, *this, "Table name expected after ON keyword, instead found '");
  ExpectToken(p, '(', "Left parentheses expected before list of index columns, instead found '");
  for (;;) {
    TClauseParser(*this).ParseIndexColumn(index);
    if (!p.IsTokenKind(',')) break;
    p.NextToken();
  }
  ExpectToken(p, ')', "Right parentheses expected after list of index columns, instead found '");
  index.BuildColumnList();
  parseCompression(index);
  expectStatementEnd("CREATE INDEX");
}

void TDataQuery::ParseAlterTable() {
  TExpressionParser& p = Owner.Parser();
  parseTargetName(p, *this, "Table name expected after ALTER TABLE keywords, instead found '");
  while (IsAnyKeyword(p, {"ADD", "REDEFINE", "DROP"})) {
    bool add = p.IsKeyword("ADD"), redefine = p.IsKeyword("REDEFINE");
    p.NextToken();
    if (!add && !redefine && IsAnyKeyword(p, {"CONSTRAINT", "PRIMARY"})) {
      if (AcceptKeyword(p, "CONSTRAINT"))
        ExpectName(p, "Constraint name expected after CONSTRAINT keyword, instead found '");
      ExpectKeyword(p, "PRIMARY", "PRIMARY keyword expected, instead found '");
      ExpectKeyword(p, "KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
      CreateIndexes.emplace_back(std::make_unique<TCreateIndex>(*this))->Drop = true;
    } else if ((add || redefine) && IsAnyKeyword(p, kKeyStart)) {
      parsePrimaryKey(add, redefine);
    } else {
      AcceptKeyword(p, "COLUMN");
      auto& field = *CreateFields.emplace_back(std::make_unique<TCreateField>(*this));
      field.Add = add;
      field.Redefine = redefine;
      field.Drop = !add && !redefine;
      TClauseParser clause(*this);
      clause.ParseColumnDefinition(field, !add, nullptr);
      // REDEFINE old new TYPE: a column without a type may be followed by its new definition.
      if (redefine && field.Tree->type == TEngineFieldType::Unknown && IsNameOrBracket(p) &&
          !IsAnyKeyword(p, {"AT", "DESCRIPTION", "NOT", "DEFAULT", "MIN", "MINIMUM", "MAX", "MAXIMUM",
                            "CHARCASE", "ADD", "REDEFINE", "DROP", "TEXT", "BLOB", "LANGUAGE", "ENCRYPTED",
                            "USER", "LAST", "NOBACKUP"}))
        clause.ParseColumnDefinition(field, false, field.Tree.get());
      uint16_t position = 0;
      if (!field.Drop && !p.IsTokenKind(',')) {
        if (AcceptKeyword(p, "AT"))
          position = uint16_t(
              ExpectInteger(p, "Integer value expected after AT keyword, instead found '", 1, 65535));
        parseColumnAttributes(field);
      }
      field.ApplyDataType(position);
    }
    if (!p.IsTokenKind(',')) break;
    p.NextToken();
    if (!IsAnyKeyword(p, {"ADD", "REDEFINE", "DROP"}))
      FoundError(p, "ADD, REDEFINE, or DROP keyword expected, instead found '");
  }
  parseTextIndex();
  parseTableOptions(true);
  if (AcceptKeyword(p, "NOBACKUP")) NoBackup = true;
  expectStatementEnd("ALTER TABLE");
}

void TDataQuery::ParseDropTable() {
  TExpressionParser& p = Owner.Parser();
  parseIfExists(p, false, IfExists);
  parseTargetName(p, *this, "Table name expected after TABLE keyword, instead found '");
  expectStatementEnd("DROP TABLE");
}

void TDataQuery::ParseDropIndex() {
  TExpressionParser& p = Owner.Parser();
  parseIfExists(p, false, IfExists);
  if (AcceptKeyword(p, "MEMORY")) InMemory = true;
  if (!IsName(p)) FoundError(p, "Table name expected after INDEX keyword, instead found '");
  TClauseParser(*this).ParseIndexName(TargetTableName, IndexName);
  expectStatementEnd("DROP INDEX");
}

}  // namespace engine::sql
