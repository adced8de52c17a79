// The dataset layer's own rules that no dataset shows: connections and parameters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dataset/connection.h"
#include "dataset/dberror.h"
#include "dataset/params.h"

using namespace dataset;

namespace {

class FakeConnection : public CustomConnection {
 public:
  bool GetConnected() const override { return connected; }
  bool connected = false;
  std::string user = "scott", password;

 protected:
  void DoConnect() override { connected = true; }
  void DoDisconnect() override { connected = false; }
  void GetLoginParams(std::string& u, std::string& p) const override { u = user, p = password; }
  void SetLoginParams(const std::string& u, const std::string& p) override { user = u, password = p; }
};

}  // namespace

TEST(ConnectionTest, LoginPromptAndClientsHearOfEveryConnectAndOfTheEnd) {
  std::vector<std::string> heard;
  auto conn = std::make_unique<FakeConnection>();
  conn->OnLogin = [&](CustomConnection&, std::string& u, std::string& p) {
    if (u != "scott") Abort();
    p = "tiger";
  };
  conn->RegisterClient(nullptr, [&](bool c, bool gone) {
    heard.push_back(std::string(c ? "up" : "down") + (gone ? "!" : ""));
  });
  conn->Open();
  EXPECT_EQ(conn->password, "tiger");
  conn->Close();
  conn->user = "other";
  EXPECT_THROW(conn->Open(), EAbort);
  EXPECT_FALSE(conn->connected);
  conn.reset();
  EXPECT_EQ(heard, (std::vector<std::string>{"up", "down", "down!"}));
}

TEST(ParamsTest, ValuesGoByNameIgnoringCaseAndUnknownNamesAreErrors) {
  Params a, b;
  a.CreateParam(ftUnknown, "Id", ptInput).SetValue(Variant(int32_t(7)));
  b.CreateParam(ftString, "ID", ptInput);
  b.AssignValues(a);
  EXPECT_EQ(b.ParamByName("id").DataType, ftInteger);
  EXPECT_EQ(b.ParamByName("id").AsInteger(), 7);
  try {
    b.ParamByName("name");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Parameter 'name' not found");
  }
}
