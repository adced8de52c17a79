// A stand-in for an Oracle database in the window tests: a small dictionary of users and tables
// and a server character set behind the wizards' link. It refuses a logon as a server would (a
// wrong password, an unknown client character set) and records every query with its parameters.
#pragma once

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ui/oracleaccess.h"

namespace ui::testing {

// A dictionary of users and tables and a server character set; a wrong password or a client set
// it does not know refuses the logon as a server would. Records what it was asked.
struct Dictionary {
  std::map<std::string, std::vector<std::string>> tables{{"HR", {"EMP", "JOBS"}},
                                                         {"SCOTT", {"BONUS", "EMP"}}};
  std::string serverCharset = "WE8ISO8859P1";
  std::vector<std::string> queries;
  int links = 0, open = 0;
};

class DictionaryLink final : public OracleLink {
 public:
  explicit DictionaryLink(Dictionary& d) : d_(d) { ++d_.links; }
  ~DictionaryLink() override { Disconnect(); }
  void Connect(const OracleLogin& login, const std::string& clientCharset) override {
    if (login.password != "tiger")
      throw std::runtime_error("ORA-01017: invalid username/password; logon denied");
    if (clientCharset == "NOSUCHSET")
      throw std::runtime_error("ORA-12705: invalid or unknown NLS parameter value");
    connected_ = true;
    ++d_.open;
  }
  void Disconnect() override {
    if (connected_) --d_.open;
    connected_ = false;
  }
  bool Connected() const override { return connected_; }
  std::vector<std::string> Column(const std::string& sql, const std::string& column,
                                  const Params& params) override {
    if (!connected_) throw std::logic_error("not connected");
    std::string bound;
    for (const auto& [name, value] : params) bound += " :" + name + "=" + value;
    d_.queries.push_back(sql + bound);
    std::vector<std::string> rows;
    if (sql == kUsersSql || sql == kTableOwnersSql) {
      for (const auto& [user, list] : d_.tables) rows.push_back(user);
      if (sql == kUsersSql) rows.insert(std::upper_bound(rows.begin(), rows.end(), "SYS"), "SYS");
    } else if (sql == kTablesOfOwnerSql && column == "table_name") {
      rows = d_.tables[params.at(0).second];
    } else if (sql == kServerCharsetSql) {
      rows.push_back(d_.serverCharset);
    }
    return rows;
  }

 private:
  Dictionary& d_;
  bool connected_ = false;
};

}  // namespace ui::testing
