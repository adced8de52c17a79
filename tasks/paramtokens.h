// Token codes of the export and import parameter-text scanners, and the keyword codes that both
// keyword tables share, so that the export and import option setters switch on the same codes.
#pragma once

#include <cstdint>

namespace tasks {

// Tokens that the scanners return. 0 is the end of the input.
enum TParamToken : int32_t {
  tokEnd = 0,
  tokNumber = 257,
  tokString = 258,
  tokWord = 259,
  tokEquals = 260,
  tokComma = 261,
  tokLParen = 262,
  tokRParen = 263,
  tokIllegal = 264,
};

// Keywords of either program. A keyword known to both programs has one code.
enum class TParamKeyword : int32_t {
  Analyze,
  Buffer,
  Charset,
  Commit,
  Compress,
  Consistent,
  Constraints,
  Destroy,
  Direct,
  Feedback,
  File,
  FromUser,
  Full,
  Grants,
  Help,
  Ignore,
  IncType,
  Indexes,
  IndexFile,
  Log,
  Owner,
  ParFile,
  PointInTimeRecover,
  Record,
  RecordLength,
  RecoveryTablespaces,
  Rows,
  Show,
  SkipUnusableIndexes,
  Statistics,
  Tables,
  ToUser,
  UserId,
};

}  // namespace tasks
