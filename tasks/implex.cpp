#include "tasks/implex.h"

namespace tasks {

const std::array<TParamKeywordEntry, 25> ImpKeywords = {{
    {"ANALYZE", TParamKeyword::Analyze},
    {"BUFFER", TParamKeyword::Buffer},
    {"CHARSET", TParamKeyword::Charset},
    {"COMMIT", TParamKeyword::Commit},
    {"DESTROY", TParamKeyword::Destroy},
    {"FEEDBACK", TParamKeyword::Feedback},
    {"FILE", TParamKeyword::File},
    {"FROMUSER", TParamKeyword::FromUser},
    {"FULL", TParamKeyword::Full},
    {"GRANTS", TParamKeyword::Grants},
    {"HELP", TParamKeyword::Help},
    {"IGNORE", TParamKeyword::Ignore},
    {"INCTYPE", TParamKeyword::IncType},
    {"INDEXES", TParamKeyword::Indexes},
    {"INDEXFILE", TParamKeyword::IndexFile},
    {"LOG", TParamKeyword::Log},
    {"PARFILE", TParamKeyword::ParFile},
    {"POINT_IN_TIME_RECOVER", TParamKeyword::PointInTimeRecover},
    {"RECORDLENGTH", TParamKeyword::RecordLength},
    {"ROWS", TParamKeyword::Rows},
    {"SHOW", TParamKeyword::Show},
    {"SKIP_UNUSABLE_INDEXES", TParamKeyword::SkipUnusableIndexes},
    {"TABLES", TParamKeyword::Tables},
    {"TOUSER", TParamKeyword::ToUser},
    {"USERID", TParamKeyword::UserId},
}};

}  // namespace tasks
