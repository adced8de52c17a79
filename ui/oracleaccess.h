// What the wizards, the pickers and the blank-task dialog ask of an Oracle database: log on, run a
// query with named parameters and read one column of its rows, and the server's character set.
// The program reaches Oracle through the Oracle client's session and query components; a window
// takes a factory of links so that each window opens its own connection when it needs one.
//
// Threads: window thread only.
#pragma once

#include <QString>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QLineEdit;

namespace ui {

// The Oracle account last used to reach a server, kept for the whole program so that the
// wizards offer it again.
struct OracleLogin {
  std::string username, password, connectstring;
};
OracleLogin& LastOracleLogin();

// One connection to an Oracle database and a query on it.
class OracleLink {
 public:
  using Params = std::vector<std::pair<std::string, std::string>>;

  virtual ~OracleLink() = default;
  // Logs on as `login` without a login prompt, with `clientCharset` as the client character set
  // (empty: the environment's). Throws std::exception with the client's message (an Oracle error
  // carries its number, e.g. "ORA-12705: ...") and stays disconnected.
  virtual void Connect(const OracleLogin& login, const std::string& clientCharset) = 0;
  // Does nothing when not connected.
  virtual void Disconnect() = 0;
  virtual bool Connected() const = 0;
  // Opens `sql` with `params` bound by name as text, and gives `column` of every row in order (a
  // NULL as an empty text). Requires Connected(). Throws std::exception on any failure.
  virtual std::vector<std::string> Column(const std::string& sql, const std::string& column,
                                          const Params& params = {}) = 0;
};

using OracleLinkFactory = std::function<std::unique_ptr<OracleLink>()>;

// Links through the Oracle client library (loaded on first connect).
std::unique_ptr<OracleLink> NewOracleClientLink();

// The account typed for a character-set comparison: user, password and connect string, trimmed,
// must each be given (else the warning for the first missing one, with the focus on it, and
// false). On success they become LastOracleLogin().
bool TakeLoginForComparison(QLineEdit* user, QLineEdit* password, QLineEdit* server);

// The queries the windows run.
inline constexpr const char* kUsersSql = "select username from dba_users order by username";
// Every user but SYS, whose tables nobody exports one by one.
inline constexpr const char* kTableOwnersSql =
    "select username from dba_users  where username<>'SYS' order by username";
// The owner is bound, never put into the text: a name is whatever the dictionary holds.
inline constexpr const char* kTablesOfOwnerSql =
    "select table_name from dba_tables where owner=upper(:owner) order by table_name";
inline constexpr const char* kServerCharsetSql =
    "select value from v$nls_parameters where parameter='NLS_CHARACTERSET'";

// The server's NLS_CHARACTERSET through a link of its own from `factory`, logged on as `login`
// with `clientCharset`; empty when the server names none. The link is closed and freed on
// every path. Throws std::exception as the link does.
std::string ReadServerCharset(const OracleLinkFactory& factory, const OracleLogin& login,
                              const std::string& clientCharset);

// The message of a failed Oracle call as the windows show it: the failure's own text, and for
// ORA-12705 (a client character set the client does not know) the advice to set a correct one.
QString OracleFailureText(const std::exception& failure);

// A server character set as the windows show it: "Not found" for an empty one.
QString ServerCharsetShown(const std::string& server);

// The client and server character sets side by side; when the server names one and they differ
// beyond case and blanks, the advice to make the client's the server's.
QString CharsetComparisonText(const std::string& client, const std::string& server);

}  // namespace ui
