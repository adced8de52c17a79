#include "tasks/explex.h"

namespace tasks {

const std::array<TParamKeywordEntry, 23> ExpKeywords = {{
    {"BUFFER", TParamKeyword::Buffer},
    {"COMPRESS", TParamKeyword::Compress},
    {"CONSISTENT", TParamKeyword::Consistent},
    {"CONSTRAINTS", TParamKeyword::Constraints},
    {"DIRECT", TParamKeyword::Direct},
    {"FEEDBACK", TParamKeyword::Feedback},
    {"FILE", TParamKeyword::File},
    {"FULL", TParamKeyword::Full},
    {"GRANTS", TParamKeyword::Grants},
    {"HELP", TParamKeyword::Help},
    {"INCTYPE", TParamKeyword::IncType},
    {"INDEXES", TParamKeyword::Indexes},
    {"LOG", TParamKeyword::Log},
    {"OWNER", TParamKeyword::Owner},
    {"PARFILE", TParamKeyword::ParFile},
    {"POINT_IN_TIME_RECOVER", TParamKeyword::PointInTimeRecover},
    {"RECORD", TParamKeyword::Record},
    {"RECORDLENGTH", TParamKeyword::RecordLength},
    {"RECOVERY_TABLESPACES", TParamKeyword::RecoveryTablespaces},
    {"ROWS", TParamKeyword::Rows},
    {"STATISTICS", TParamKeyword::Statistics},
    {"TABLES", TParamKeyword::Tables},
    {"USERID", TParamKeyword::UserId},
}};

}  // namespace tasks
