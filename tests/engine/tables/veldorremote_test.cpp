// The remote request protocol against a scripted server (exact bytes), against the loopback
// engine server through a proxy that spoils replies, and side by side with a local session.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

#include "engine/base/veldorerr.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"
#include "platform/processinfo.h"
#include "platform/zlibbuffer.h"
#include "tests/engine/storage/datafile_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/engineserver/engineserver.h"
#include "tools/engineserver/faultproxy.h"

namespace {

using namespace engine;
using Bytes = std::vector<uint8_t>;

Bytes param(const void* data, size_t n) {
  Bytes b(4 + n);
  platform::put4(b.data(), uint32_t(n));
  std::memcpy(b.data() + 4, data, n);
  return b;
}
Bytes text(std::string_view t) {
  return param(t.data(), t.size());
}
template <typename T>
Bytes num(T v) {
  uint8_t b[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i) b[i] = uint8_t(uint64_t(v) >> (8 * i));
  return param(b, sizeof(T));
}
Bytes message(uint16_t code, std::initializer_list<Bytes> params) {
  Bytes m(10);
  for (const auto& p : params) m.insert(m.end(), p.begin(), p.end());
  platform::put4(m.data(), uint32_t(m.size()));
  platform::put2(m.data() + 4, code);
  platform::put4(m.data() + 6, uint32_t(m.size() - 10));
  return m;
}

// Answers each request with what the script returns and keeps every request it saw.
class ScriptedServer {
 public:
  using Script = std::function<Bytes(const Bytes& request)>;
  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    thread_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        platform::TcpConnection c = listener_.accept(100);
        while (c.isOpen() && !stop.stop_requested() && !dropAll_.exchange(false)) {
          if (c.waitReadable(50) == platform::WaitResult::TimedOut) continue;
          Bytes request;
          if (!engineserver::readMessage(c, request, 2000)) break;
          std::lock_guard lock(mutex_);
          requests_.push_back(request);
          const Bytes reply = script_(request);
          c.sendAll(reply.data(), reply.size());
        }
      }
    });
  }
  ~ScriptedServer() {
    listener_.shutdown();
    thread_ = {};
  }
  uint16_t port() const { return listener_.port(); }
  std::vector<Bytes> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // The server closes its side of the connection it serves.
  void drop() {
    dropAll_ = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }

 private:
  Script script_;
  platform::TcpListener listener_;
  std::mutex mutex_;
  std::vector<Bytes> requests_;
  std::atomic<bool> dropAll_{false};
  std::jthread thread_;
};

uint16_t codeOf(const Bytes& m) {
  return platform::get2(m.data() + 4);
}

void remoteTo(TDataSession& s, uint16_t port, bool lan = true) {
  s.SetSessionType(stRemote);
  s.SetRemoteType(lan);
  s.SetRemotePort(port);
  s.SetTimeOut(1);
}

template <typename F>
uint16_t errorOf(F&& f) {
  try {
    f();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(RemoteProtocolTest, HandshakeLoginRetriesAndReconnectSendExactlyTheseBytes) {
  int logins = 0;
  ScriptedServer server([&](const Bytes& r) {
    switch (codeOf(r)) {
      case REQUEST_CONNECTPARAMS:
        return message(0, {num<uint32_t>(77)});  // no version: an old server
      case REQUEST_LOGIN:
        return message(++logins == 3 ? 0 : VELDOR_REMOTEINVLOGIN, {});
      default:
        return message(0, {});
    }
  });
  TDataSession s;
  remoteTo(s, server.port());
  s.SetRemoteUser("ann");
  s.SetRemotePassword("preset-pw");
  std::vector<std::string> asked, traces;
  s.SetRemoteLoginEvent([&](std::string& user, std::string& password) {
    asked.push_back(user + "/" + password);
    user = "ann";
    password = "try" + std::to_string(asked.size());
    return true;
  });
  s.SetRemoteTrace(true);
  s.SetRemoteTraceEvent([&](const std::string& line) { traces.push_back(line); });
  s.Connect();
  s.Login();
  EXPECT_EQ(s.SessionId(), 77u);
  EXPECT_EQ(s.ServerVersion(), kDefaultServerVersion);
  s.SetLockProtocol(lpOptimistic);  // an old server takes no lock protocol
  EXPECT_EQ(s.LockProtocol(), lpPessimistic);
  server.drop();
  s.AddPassword("tbl");  // the dropped connection is found before sending: reconnect, then send
  const std::string client = platform::computerName(15) + std::to_string(platform::currentProcessId());
  const std::vector<Bytes> expected{
      message(REQUEST_CONNECTPARAMS, {num<int64_t>(31000), num<uint8_t>(1), text(client)}),
      message(REQUEST_LOGIN, {text("ann"), text("preset-pw")}),
      message(REQUEST_LOGIN, {text("ann"), text("try1")}),
      message(REQUEST_LOGIN, {text("ann"), text("try2")}),
      message(REQUEST_RECONNECT, {num<int64_t>(31000), num<uint32_t>(77), num<uint8_t>(1)}),
      message(REQUEST_ADDPASSWORD, {text("tbl")}),
  };
  EXPECT_EQ(server.requests(), expected);
  // A rejected preset login clears both fields; every later ask starts from empty fields.
  EXPECT_EQ(asked, (std::vector<std::string>{"/", "/"}));
  for (const auto& line : traces) {
    EXPECT_EQ(line.find("-pw"), std::string::npos) << line;
    EXPECT_EQ(line.find("try"), std::string::npos) << line;
  }
  EXPECT_NE(std::find_if(traces.begin(), traces.end(),
                         [](const auto& l) { return l.starts_with("Re-connection to port "); }),
            traces.end());
  // Four rejected logins through the event end the attempt.
  s.Logout();
  logins = -100;
  TDataSession t;
  remoteTo(t, server.port());
  t.SetRemoteLoginEvent([&](std::string& user, std::string& password) {
    user = "bob";
    password = "x";
    return true;
  });
  t.Connect();
  const size_t before = server.requests().size();
  EXPECT_EQ(errorOf([&] { t.Login(); }), VELDOR_REMOTEINVLOGIN);
  EXPECT_FALSE(t.Connected());
  const std::vector<Bytes> after = server.requests();
  EXPECT_EQ(std::count_if(after.begin() + long(before), after.end(),
                          [](const Bytes& r) { return codeOf(r) == REQUEST_LOGIN; }),
            4);
}

TEST(RemoteProtocolTest, ErrorRepliesAndCompressedPayloadsComeBackWhole) {
  Bytes big(100000, 'z');
  ScriptedServer server([&](const Bytes& r) {
    if (codeOf(r) == REQUEST_CONNECTPARAMS) return message(0, {num<uint32_t>(5), num<int64_t>(30800)});
    if (codeOf(r) == REQUEST_LOGIN) {
      Bytes m = message(0, {});
      Bytes packed;
      platform::deflateBuffer(nullptr, 0, packed);
      m.insert(m.end(), packed.begin(), packed.end());
      platform::put4(m.data(), uint32_t(m.size()));
      platform::put4(m.data() + 6, uint32_t(packed.size()));
      return m;
    }
    // Echo the request's payload back compressed as it came, with an error code.
    Bytes m(r);
    platform::put2(m.data() + 4, 0x2604);
    return m;
  });
  TDataSession s;
  remoteTo(s, server.port(), false);
  s.SetRemoteUser("u");
  s.SetRemotePassword("p");
  s.Connect();
  s.Login();
  s.SetRequestCode(REQUEST_TABLEEXISTS);
  s.BeginRequest();
  for (const char* t : {"a", "b", "c", "d", "e"}) s.WriteRequestText(t);
  s.WriteRequestParam(big.data(), 200);
  s.EndRequest();
  EXPECT_LT(s.RequestBytes().size(), 10u + 6 * 4 + 205);
  s.Exchange();
  try {
    s.CheckReplyError();
    FAIL();
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 0x2604);
    EXPECT_EQ(e.Item(0), "127.0.0.1");
    EXPECT_EQ(e.Item(1), "a");
    EXPECT_EQ(e.Item(5), "e");
    EXPECT_EQ(e.Item(6), std::string(200, 'z'));
  }
}

// While a request runs the server may call back: answers go only to the kinds that ask for one.
TEST(RemoteProtocolTest, CallbacksAreAnsweredInTheirOwnWayUntilTheReplyComes) {
  int responses = 0;
  uint32_t handle = 9;
  auto callback = [&](uint16_t kind, std::initializer_list<Bytes> rest) {
    Bytes m = message(VELDOR_REMOTECALLBACK, {num<uint16_t>(kind), num<uint32_t>(handle)});
    for (const auto& p : rest) m.insert(m.end(), p.begin(), p.end());
    platform::put4(m.data(), uint32_t(m.size()));
    platform::put4(m.data() + 6, uint32_t(m.size() - 10));
    return m;
  };
  ScriptedServer server([&](const Bytes& r) {
    switch (codeOf(r)) {
      case REQUEST_CONNECTPARAMS:
        return message(0, {num<uint32_t>(1), num<int64_t>(31000)});
      case REQUEST_CREATECURSOR:
        return message(0, {num<uint32_t>(9)});
      case REQUEST_DELETETABLE: {
        Bytes m = callback(2, {text("step"), num<uint32_t>(5)});
        for (const Bytes& b :
             {callback(13, {}), callback(3, {text("log")}), callback(9, {text("s2"), num<uint32_t>(7)}),
              callback(16, {num<uint32_t>(40)}), callback(0, {})})
          m.insert(m.end(), b.begin(), b.end());
        return m;
      }
      case REQUEST_CALLBACKRESPONSE:
        ++responses;
        if (responses == 1) return callback(1, {text(""), num<uint32_t>(4)});
        if (responses == 2)
          return callback(8, {num<uint8_t>(1), text("lost"), num<uint8_t>(0), num<uint8_t>(1)});
        return message(0, {});
      default:
        return message(0, {});
    }
  });
  TDataSession s;
  remoteTo(s, server.port());
  s.SetRemoteUser("u");
  s.SetRemotePassword("p");
  s.Connect();
  s.Login();
  TDataDirectory* d = s.OpenDataDirectory("db", "", true);
  TDataCursor c(*d);
  c.SetTableName("t");
  c.SetPasswordCallback([](TDataCursor&) { return true; });
  // Progress and log kinds reach their hooks with their parameters; an unset hook's are skipped.
  std::string heard;
  const auto step = [&](TDataCursor&, const std::string& t, uint32_t p) { heard += t + std::to_string(p); };
  c.SetStepProgressHook(step);
  c.SetStepProgressHook2(step);
  c.SetProgressHook16([&](TDataCursor&, uint32_t p) { heard += "/" + std::to_string(p); });
  // The data-lost hook starts from the server's flags.
  c.SetDataLostHook([&](TDataCursor&, TRestructureCase kind, const std::string& t, bool&, bool&) {
    heard += "|" + std::to_string(kind) + t;
  });
  c.DeleteTable();
  EXPECT_EQ(heard, "step5s27/40|1lost");
  EXPECT_EQ(c.GetLastRequestCode(), REQUEST_DELETETABLE);
  std::vector<Bytes> answers;
  for (const auto& r : server.requests())
    if (codeOf(r) == REQUEST_CALLBACKRESPONSE) answers.push_back(r);
  EXPECT_EQ(answers,
            (std::vector<Bytes>{message(REQUEST_CALLBACKRESPONSE, {num<uint8_t>(1)}),
                                message(REQUEST_CALLBACKRESPONSE, {num<uint8_t>(0)}),
                                message(REQUEST_CALLBACKRESPONSE, {num<uint8_t>(0), num<uint8_t>(1)})}));
  // A restructure hands the server its two option bytes as they were given.
  TRestructureArgs a;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.Fields = {datafile_test::field(1, "K", 6)};
  a.Indexes.resize(1);
  a.OptionBytes = {7, 9};
  c.SetExclusive(true);
  c.RestructureTable(a);
  const std::vector<Bytes> sent = server.requests();
  ASSERT_EQ(codeOf(sent.back()), REQUEST_RESTRUCTURETABLE);
  EXPECT_EQ(Bytes(sent.back().end() - 10, sent.back().end()), (Bytes{1, 0, 0, 0, 7, 1, 0, 0, 0, 9}));
  // A callback for another cursor is refused, naming the server.
  handle = 10;
  responses = 0;
  EXPECT_EQ(errorOf([&] { c.DeleteTable(); }), VELDOR_REMOTECALLBACKERR);
}

// Every spoiled reply ends in a clean engine error, the server carried the request out once, and
// the session goes on working afterwards.
TEST(RemoteProtocolTest, SpoiledRepliesGiveEngineErrorsAndNothingRunsTwice) {
  platform::testing::TempFolder root;
  engineserver::EngineServer server(root.path(), {{"ann", "pw"}});
  engineserver::FaultProxy proxy(server.port());
  using engineserver::Fault;
  const struct {
    Fault fault;
    uint16_t error;
    bool lan;
  } cases[] = {
      {Fault::DropRequest, VELDOR_REMOTECOMMLOST, true},
      {Fault::Truncate, VELDOR_REMOTECOMMLOST, true},
      {Fault::CloseMidReply, VELDOR_REMOTECOMMLOST, false},
      {Fault::Delay, VELDOR_REMOTECOMMLOST, true},
      {Fault::CorruptZlib, VELDOR_UNCOMPRESS, false},
      {Fault::OversizedLength, VELDOR_REMOTECOMMLOST, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.fault));
    TDataSession s;
    remoteTo(s, proxy.port(), c.lan);
    s.SetRemoteUser("ann");
    s.SetRemotePassword("pw");
    s.Connect();
    s.Login();
    TDataDirectory* d = s.OpenDataDirectory("db", "");
    const int before = server.handled(REQUEST_STARTTXN);
    proxy.arm(c.fault, REQUEST_STARTTXN, 1500);
    EXPECT_EQ(errorOf([&] { d->StartTransaction(); }), c.error);
    const int ran = server.handled(REQUEST_STARTTXN) - before;
    EXPECT_EQ(ran, c.fault == Fault::DropRequest ? 0 : 1);
    // The session resumes on a new connection and the server's state is what one run made.
    EXPECT_EQ(errorOf([&] { d->Rollback(); }), 0);
    EXPECT_FALSE(d->TableExists("none", false));
  }
}

// A filter the server did not take stays its owner's: the tree is freed once, by the owner, and
// the cursor goes on without the filter.
TEST(RemoteProtocolTest, AFilterTheServerDidNotTakeLeavesItsTreeWithItsOwner) {
  platform::testing::TempFolder root;
  engineserver::EngineServer server(root.path(), {{"ann", "pw"}});
  engineserver::FaultProxy proxy(server.port());
  TDataSession s;
  remoteTo(s, proxy.port());
  s.SetRemoteUser("ann");
  s.SetRemotePassword("pw");
  s.Connect();
  s.Login();
  TDataDirectory* d = s.OpenDataDirectory("db", "");
  TDataCursor c(*d);
  c.SetTableName("t");
  c.SetExclusive(true);
  TCreateTableArgs args;
  args.BlobBlockSize = 512;
  args.NoPrimaryIndex = true;
  args.Fields = {datafile_test::field(1, "K", kFieldTypeInteger)};
  args.Indexes.resize(1);
  c.CreateTable(args);
  c.Open();
  // K = 1, as a caller builds it.
  TExpTreePtr tree(GetExpToken());
  tree->kind = expBinary;
  tree->code = opEqual;
  tree->left = GetExpToken();
  tree->right = GetExpToken();
  tree->left->kind = expColumn;
  tree->left->columnName = "K";
  tree->right->kind = expConstant;
  tree->right->type = TEngineFieldType::Integer;
  tree->right->SetValueSize(4);
  tree->right->Value()[0] = 1;
  const std::string text = "K = 1";
  for (int round = 0; round < 2; ++round) {
    proxy.arm(engineserver::Fault::DropRequest, REQUEST_ADDEXPRFILTER, 1500);
    EXPECT_EQ(errorOf([&] {
                round ? c.AddFilter(*tree)
                      : c.AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
              }),
              VELDOR_REMOTECOMMLOST);
    EXPECT_TRUE(c.Filters().empty());
  }
  TFilter* f = c.AddFilter(*tree);
  c.ActivateFilter(f);
  EXPECT_EQ(c.Filters().size(), 1u);
  c.DropFilter(f);
}

// ---- Blobs, filters and maintenance in the differential run ----

// The callback filter of the run: records whose field 1 starts with an even byte. The value that
// comes with a record is its number, from a local cursor and from the server alike.
bool evenFirstByte(void*, TDataCursor& c, const uint8_t* record, uint32_t value) {
  EXPECT_EQ(value, platform::get4(record + 1));
  return record[c.GetFieldDesc(1).Offset() + 1] % 2 == 0;
}

// Steps 18 to 21 on `table` or an open cursor: create a table with a memo, blob reads and writes,
// filters by expression and by callback, emptying, index add and drop, text-index parameters and
// restructuring. Everything the step saw is folded into the result.
int dataStep(int op, uint32_t r, const std::string& table, TDataDirectory& d,
             std::vector<std::unique_ptr<TDataCursor>>& open) {
  using datafile_test::field;
  std::mt19937 draw(r);
  uint32_t h = 0;
  const auto fold = [&](std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) h = h * 31 + b;
  };
  const auto add = [&](uint32_t v) { h = h * 131 + v; };
  const int kind = int(r / 8 % 5);
  if (op == 18 || (op == 21 && kind == 4)) {
    TRestructureArgs a;
    a.BlobBlockSize = 512;
    a.NoPrimaryIndex = true;
    const bool numeric = op == 18 ? r % 7 == 0 : r % 2 == 0;
    a.Fields = {field(1, "NAME", numeric ? kFieldTypeInteger : kFieldTypeString, uint8_t(4 + r % 16)),
                field(2, "N", kFieldTypeInteger), field(3, "NOTE", kFieldTypeBlob, 0, 22)};
    if (r % 3 == 0) a.Fields.erase(a.Fields.begin() + 1);
    a.Indexes.resize(1);
    if (r % 4 == 0) {
      a.Indexes.emplace_back();
      a.Indexes.back().name = "BYNAME";
      a.Indexes.back().fields[0] = 1;
      a.Indexes.back().unique = r % 8 == 0;
    }
    if (r % 6 == 0) a.TextIndex.fields[0] = 3;
    TDataCursor c(d);
    // A restructure takes the table of an open cursor when there is one: it has records to carry.
    c.SetTableName(op == 21 && !open.empty() ? open[0]->TableName() : table);
    c.SetExclusive(true);
    if (op == 18) {
      a.Overwrite = true;
      c.CreateTable(a);
      return 0;
    }
    // A local restructure inside a transaction leaves the tables it opened in the session's
    // directory until the transaction ends; a server's stay on the server.
    if (d.InTransaction()) return -2;
    a.NoBackup = r % 2 == 0;
    // The restructure needs the table to itself.
    open.clear();
    c.SetRestructureProgressHook([&](TDataCursor&, uint32_t percent) { add(percent); });
    if (r % 3 != 1)
      c.SetDataLostHook(
          [&](TDataCursor&, TRestructureCase what, const std::string& message, bool& goOn, bool& all) {
            add(what);
            fold({reinterpret_cast<const uint8_t*>(message.data()), message.size()});
            goOn = draw() % 3 != 0;
            all = draw() % 4 == 0;
          });
    c.RestructureTable(a);
    return int(h);
  }
  if (open.empty()) {
    auto opened = std::make_unique<TDataCursor>(d);
    opened->SetTableName(table);
    opened->SetExclusive(r % 2 == 0);
    opened->Open();
    open.push_back(std::move(opened));
  }
  TDataCursor& c = *open[r % open.size()];
  // The memo of a data table; the only field of the others, which holds no blob.
  const uint16_t memo = c.FieldCount();
  std::vector<uint8_t> record(c.RecordSize());
  // Records fold in with any open blob's handle left out: each side numbers its blobs itself,
  // and a filter evaluating memo values opens some on one side only.
  const auto foldRecord = [&] {
    std::vector<uint8_t> image = record;
    for (uint16_t p = 1; p <= c.FieldCount(); ++p)
      if (const TFieldDescriptor& f = c.GetFieldDesc(p); f.IsBlob() && int8_t(image[f.Offset() + 4]) < 0)
        std::fill_n(image.begin() + f.Offset() + 1, 4, 0xFF);
    fold(image);
  };
  if (op == 19) {
    if (kind < 2) {
      c.ClearRecordBuffer(record.data());
      const std::string name(64, char('a' + r % 26));
      c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(name.data()));
    } else {
      add(c.GetNextRecord(record.data()));
    }
    add(c.OpenBlob(memo, record.data(), 2, false, uint8_t(r / 64 % 2)));
    if (kind != 4) {
      std::vector<uint8_t> bytes(draw() % 3000);
      for (uint8_t& b : bytes) b = uint8_t("abcxyz  "[draw() % 8]);
      add(c.PutBlob(memo, record.data(), int32_t(draw() % 100) - 4, bytes.data(), int32_t(bytes.size()),
                    false));
      if (draw() % 4 == 0) add(c.TruncateBlob(memo, record.data(), int32_t(draw() % 200), false));
    }
    uint32_t size = 0, read = 0;
    add(c.GetBlobSize(memo, record.data(), size, false) + size);
    std::vector<uint8_t> out(4000);
    add(c.GetBlob(memo, record.data(), int32_t(draw() % 120) - 4, out.data(), int32_t(draw() % 4000) - 4,
                  read, false));
    fold({out.data(), read});
    foldRecord();
    switch (draw() % 4) {
      case 0:
        kind < 2 ? c.AppendRecord(record.data()) : c.ModifyRecord(record.data());
        break;
      case 1:
        add(c.FreeBlob(memo, record.data(), false, uint8_t(draw() % 2)));
        foldRecord();
        break;
      case 2:
        c.FreeAllBlobs(draw() % 2 == 0);
        break;
      default:
        break;
    }
  } else if (op == 20) {
    static const char* texts[] = {
        "NAME > 'm'",       "N < 5",      "5 > N",          "NAME IS NULL",
        "NOTE IS NOT NULL", "CODE <> ''", "NAME LIKE 'a%'", "TEXTSEARCH('ab*' IN NOTE)"};
    const auto& list = c.Filters();
    TFilter* chosen = list.empty() || r % 5 == 0 ? nullptr : list[r / 64 % list.size()].get();
    const std::string text = texts[r / 512 % std::size(texts)];
    if (kind == 0) c.AddFilter(nullptr, &text, nullptr, true, nullptr, r % 2, true, r / 2 % 2, false);
    if (kind == 1) c.AddFilter(nullptr, nullptr, nullptr, false, &evenFirstByte, true, true, false, false);
    if (kind == 2) c.ActivateFilter(chosen);
    if (kind == 3) c.DeactivateFilter(chosen);
    if (kind == 4) c.DropFilter(chosen);
    add(uint32_t(list.size()));
    c.SetToBegin();
    for (int i = 0; i < 20; ++i) {
      const uint16_t result = c.GetNextRecord(record.data());
      add(result);
      if (result != 0) break;
      foldRecord();
    }
  } else {
    const std::string name = r / 64 % 2 ? "BYNAME" : "byn";
    if (kind == 0) c.EmptyTable();
    if (kind == 1) {
      TIndexDescriptor x;
      x.name = name;
      x.fields[0] = 1;
      x.fields[1] = uint16_t(r / 128 % 2 * 2);
      x.unique = r / 256 % 2;
      c.SetIndexProgressHook([&](TDataCursor&, uint32_t percent) { add(percent); });
      const std::unique_ptr<TDataCursor, void (*)(TDataCursor*)> unhook(
          &c, [](TDataCursor* k) { k->SetIndexProgressHook({}); });
      c.AddSecondaryIndex(x);
      add(x.keySize);
    }
    if (kind == 2) c.DeleteIndex(name);
    add(c.GetIndexCount() * 17u + c.CurrentIndex());
    // Its reply carries no cursor state: a remote cursor keeps the counts it last had, where a
    // local read catches up with the other cursors' writes.
    if (kind == 3)
      return int(c.GetStopWords().count() * 7 + c.GetSpaceChars().count() * 3 + c.GetIncludeChars().count());
  }
  add(uint32_t(c.GetRecordCount() * 7 + c.CurrentRecordNo() * 3 + c.AtBOF() + c.AtEOF() * 2));
  return int(h);
}

// One random scenario of session and database operations, run on a local session and on a remote
// one served by the loopback server over the same kind of folders: every outcome must agree.
// A blob the client has open in a record, written and not yet saved, is read on the server from
// the open blob, which stays open and the client's: the append that follows writes the value.
TEST(RemoteProtocolTest, ReadingAnOpenBlobKeepsItsUnsavedValue) {
  using datafile_test::field;
  platform::testing::TempFolder serverRoot;
  std::filesystem::create_directories(serverRoot.path() + "/db");
  engineserver::EngineServer server(serverRoot.path(), {{"ann", "pw"}});
  TDataSession remote;
  remoteTo(remote, server.port());
  remote.SetRemoteUser("ann");
  remote.SetRemotePassword("pw");
  remote.Connect();
  remote.Login();
  TDataCursor c(*remote.OpenDataDirectory("db", ""));
  c.SetTableName("memos");
  c.SetExclusive(true);
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "NOTES", kFieldTypeBlob, 0, 22)};
  a.Indexes.resize(1);
  a.Indexes[0].fields[0] = 1;
  c.CreateTable(a);
  c.Open();
  std::vector<uint8_t> record(c.RecordSize()), value;
  c.ClearRecordBuffer(record.data());
  const std::vector<uint8_t> notes(700, 'n');
  ASSERT_EQ(c.OpenBlob(2, record.data(), 2, false, 0), 0);
  ASSERT_EQ(c.PutBlob(2, record.data(), 0, notes.data(), int32_t(notes.size()), false), 0);
  EXPECT_TRUE(c.ReadBlobValue(2, false, record.data(), value));
  EXPECT_EQ(value, notes);
  // Only the opener's tag closes it.
  ASSERT_EQ(c.FreeBlob(2, record.data(), false, 1), 0);
  uint32_t size = 0;
  EXPECT_EQ(c.GetBlobSize(2, record.data(), size, false), 0);
  EXPECT_EQ(size, notes.size());
  c.AppendRecord(record.data());
  c.FreeAllBlobs(true);
  ASSERT_EQ(c.GetCurrentRecord(record.data(), false), 0);
  EXPECT_TRUE(c.ReadBlobValue(2, false, record.data(), value));
  EXPECT_EQ(value, notes);
}

TEST(RemoteProtocolTest, RemoteSessionBehavesAsTheLocalOne) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  platform::testing::TempFolder localRoot, serverRoot;
  engineserver::EngineServer server(serverRoot.path(), {{"ann", "pw"}});
  for (const auto& r : {localRoot.path(), serverRoot.path()})
    for (const char* db : {"/db", "/keys"}) std::filesystem::create_directories(r + db);
  TDataSession local, remote;
  remoteTo(remote, server.port(), random() % 2 == 0);
  remote.SetRemoteUser("ann");
  remote.SetRemotePassword("pw");
  remote.Connect();
  remote.Login();
  TDataDirectory* dl = local.OpenDataDirectory("db", localRoot.path() + "/db");
  TDataDirectory* dr = remote.OpenDataDirectory("db", "");
  const std::vector<std::string> words{"a", "b", "B", ""}, tables{"t1", "T1", "t2"};
  std::vector<std::unique_ptr<TDataCursor>> openLocal, openRemote;
  // The steps of keys and positioning have a database of their own, without transactions.
  TDataDirectory* kl = local.OpenDataDirectory("keys", localRoot.path() + "/keys");
  TDataDirectory* kr = remote.OpenDataDirectory("keys", "");
  std::vector<std::unique_ptr<TDataCursor>> keysLocal, keysRemote;
  // Key steps that ran on an open keys cursor without error: the block must not pass by testing
  // nothing.
  int keyStepsDone = 0, dataStepsDone = 0;
  for (int step = 0; step < 300; ++step) {
    // Step 0 makes a table with a memo, for the blob and filter steps (18-21); steps 1 and 2 make
    // the indexed table of the key steps (22-29) and open a cursor on it.
    const int op = step == 0 ? 18 : step < 3 ? 21 + step : int(random() % 30);
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op) + " seed " +
                 std::to_string(seed));
    const std::string w = words[random() % words.size()];
    const std::string table = tables[random() % tables.size()], other = tables[random() % tables.size()];
    const uint32_t r = random();
    auto run = [&](TDataSession& s, TDataDirectory& d, std::vector<std::unique_ptr<TDataCursor>>& open,
                   TDataDirectory& kd, std::vector<std::unique_ptr<TDataCursor>>& keys) -> int {
      if (op >= 18 && op <= 21) return dataStep(op, r, table, d, open);
      switch (op) {
        case 13: {
          // Cursors stay open across steps, so that later ones share the table object.
          auto c = std::make_unique<TDataCursor>(d);
          c->SetTableName(table);
          c->SetExclusive(r % 4 == 0);
          c->Open();
          uint32_t folded = uint32_t(c->GetRecordCount() * 7 + c->GetTableRecordCount() * 3 +
                                     c->RecordSize() + c->CurrentIndex() + c->AtBOF() * 2 + c->AtEOF() * 4 +
                                     c->Options().ReadOnly * 8 + c->FieldCount());
          for (uint16_t f = 1; f <= c->FieldCount(); ++f)
            folded = folded * 31 + int(std::hash<std::string>{}(c->GetFieldDesc(f).Name()) % 1000);
          folded = folded * 31 + int(c->Table()->DataFile().GetBlobFieldCount());
          open.push_back(std::move(c));
          return int(folded);
        }
        case 15:
        case 16:
        case 17: {
          // Moves, reads and writes on one of the open cursors; the outcome folds in the record
          // read, where the cursor stands and what the table counts.
          if (open.empty()) return -1;
          TDataCursor& c = *open[r % open.size()];
          std::vector<uint8_t> record(c.RecordSize());
          int code = 0;
          const int kind = int(r / 8 % 4);
          if (op == 15) {
            if (kind == 0) c.SetToBegin();
            if (kind == 1) c.SetToEnd();
            if (kind == 2) code = c.GetNextRecord(record.data());
            if (kind == 3) code = c.GetPriorRecord(record.data());
            if (r % 5 == 0) c.SetToRecNo(int32_t(r / 64 % 5));
            if (r % 7 == 0) {
              uint32_t count = r / 32 % 3 + 1;
              std::vector<uint8_t> block(count * c.RecordSize());
              code = c.ReadRecordBlock(count, block.data()) + int(count) * 13;
              record.assign(block.begin(), block.begin() + ptrdiff_t(count * c.RecordSize()));
            }
          } else if (op == 16) {
            code = c.GetCurrentRecord(record.data(), kind == 0);
          } else {
            c.ClearRecordBuffer(record.data());
            const std::string value(40, char('a' + r % 26));
            c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(value.data()));
            if (kind < 2) c.AppendRecord(record.data(), kind == 0);
            if (kind == 2) c.ModifyRecord(record.data(), true, r % 2 == 0);
            if (kind == 3) c.DeleteRecord(record.data(), r % 2 == 0);
          }
          uint32_t folded = uint32_t(code * 7 + int(c.CurrentRecordNo()) * 5 + c.GetRecordCount() * 3 +
                                     c.AtBOF() + c.AtEOF() * 2 + c.GetTableRecordCount() * 11);
          // A write leaves the caller's image as the engine completed it (unique id, status), which
          // a remote write does not send back; what was written shows in later reads.
          if (op != 17)
            for (uint8_t b : record) folded = folded * 31 + b;
          return int(folded);
        }
        // ---- Keys, ranges, finds, bookmarks and positioning ----
        case 22: {
          // NAME string(12), K integer; non-unique, unique and descending indexes over them.
          if (!keys.empty()) return 0;
          TDataCursor c(kd);
          c.SetTableName("x1");
          c.SetExclusive(true);
          TCreateTableArgs a;
          a.Fields = {datafile_test::field(1, "NAME", 1, 12), datafile_test::field(2, "K", 6)};
          a.BlobBlockSize = 512;
          a.NoPrimaryIndex = r % 2 == 0;
          a.Indexes.resize(1);
          a.Indexes[0].fields = {2, 1};
          a.Indexes[0].unique = 1;
          for (const auto& [name, fields, unique, descending] :
               {std::tuple{"BYNAME", std::array<uint16_t, 2>{1, 0}, 0, 0},
                {"BYKU", {2, 1}, 1, 0},
                {"BYNAMED", {1, 2}, 0, 1}}) {
            a.Indexes.emplace_back();
            a.Indexes.back().name = name;
            std::copy(fields.begin(), fields.end(), a.Indexes.back().fields.begin());
            a.Indexes.back().unique = uint8_t(unique);
            a.Indexes.back().descending = uint8_t(descending);
          }
          a.Overwrite = true;
          c.CreateTable(a);
          return 0;
        }
        case 23:
        case 24:
        case 25:
        case 26:
        case 27:
        case 28:
        case 29: {
          if (op == 23 && keys.size() > 3) {
            keys.erase(keys.begin() + ptrdiff_t(r % keys.size()));
            return 0;
          }
          if (op == 23 || keys.empty()) {
            auto c = std::make_unique<TDataCursor>(kd);
            c->SetTableName("x1");
            c->SetExclusive(r % 9 == 0);
            c->Open();
            keys.push_back(std::move(c));
            return keys.back()->GetRecordCount();
          }
          TDataCursor& c = *keys[r % keys.size()];
          TDataCursor& other = *keys[r / 7 % keys.size()];
          const uint32_t q = uint32_t(r ^ (r >> 13) * 2654435761u);
          std::vector<uint8_t> record(c.RecordSize()), bookmark(kMaxCursorKeySize + 4);
          auto fill = [&](uint32_t v) {
            c.ClearRecordBuffer(record.data());
            std::array<uint8_t, 64> name{};
            std::fill_n(name.begin(), v % 4 + 1, uint8_t('a' + v / 4 % 26));
            const int32_t k = int32_t(v / 128 % 10);
            c.PutField(1, record.data(), name.data());
            if (c.FieldCount() > 1 && v % 3 != 0)
              c.PutField(2, record.data(), reinterpret_cast<const uint8_t*>(&k));
          };
          int code = 0;
          const uint8_t indexBefore = c.CurrentIndex();
          fill(q);
          static const char* names[] = {"", "BYNAME", "byku", "BYNAMED", "nope"};
          switch (op >= 28 ? 8 + q % 3 : q % 8) {
            case 0:
              if (q / 64 % 2)
                c.SwitchToIndex(uint8_t(q / 8 % 5));
              else
                c.SetIndexName(names[q / 8 % 5]);
              break;
            case 1: {
              std::vector<uint8_t> end(c.RecordSize());
              std::swap(end, record);
              fill(q / 3);
              c.SetRange(false, q % 5 ? record.data() : nullptr, int32_t(q / 5 % 3),
                         q % 7 ? end.data() : nullptr, int32_t(q / 11 % 3));
              break;
            }
            case 2:
              c.ResetRange();
              break;
            case 3:
              code = c.FindKey(false, record.data(), int32_t(q / 8 % 3), q % 2, uint8_t(q / 64 % 3),
                               q % 5 ? record.data() : nullptr);
              break;
            case 4:
              c.GetBookmark(bookmark.data());
              if (q % 3) c.GetNextRecord(nullptr);
              code = c.SetToBookmark(bookmark.data(), q / 8 % 2);
              break;
            case 5:
              code = c.CloneCurrentRecord(record.data());
              break;
            case 6:
              code = c.SetToRecordBuffer(other);
              break;
            case 7:
              c.Refresh();
              c.FlushBuffers(q / 8 % 2, q / 16 % 2, true, true, false);
              if (q / 32 % 4 == 0) break;
              // An edit given up: the lock taken for it goes. The lock is asked with the image just
              // read, as an editor does.
              code = c.GetCurrentRecord(record.data(), false);
              code += c.GetCurrentRecord(record.data(), true);
              c.CancelRecord();
              code += int(c.LockedRecordNo()) * 3;
              break;
            case 8:
              // The caller's image is not folded: a remote write does not send it back completed.
              c.AppendRecord(std::vector<uint8_t>(record).data(), q % 2);
              if (q % 3 == 0) c.UnlockRecord();
              break;
            case 9: {
              // The copy stands where the original stands. A local clone checks the table through
              // the original first; a remote one cannot tell the original.
              const auto copy = c.Clone();
              c.Refresh();
              code =
                  copy->GetSequenceNumber() * 3 + copy->GetRecordCount() + copy->GetNextRecord(record.data());
              break;
            }
            default:
              code = c.GetCurrentRecord(record.data(), q % 2) + c.GetNextRecord(record.data());
              if (q % 5 == 0) c.UnlockRecord();
              if (q % 7 == 0) c.LockRecord();
              code += int(c.LockedRecordNo()) * 3;
              break;
          }
          c.GetBookmark(bookmark.data());
          // A new index starts with the whole of it in view. Selecting the index the cursor has
          // changes nothing: its count stays as of its last look at the table.
          if (op < 28 && q % 8 == 0 && c.CurrentIndex() != indexBefore && !c.RangeSet() &&
              !c.InRecordNumberOrder()) {
            EXPECT_EQ(c.GetRecordCount(), c.GetTableRecordCount());
          }
          uint32_t folded = uint32_t(code * 7 + c.GetSequenceNumber() * 5 + int(c.GetRecordNumber()) * 3 +
                                     c.GetRecordCount() * 11 + c.AtBOF() + c.AtEOF() * 2 +
                                     c.CurrentIndex() * 13 + c.RangeSet() * 17);
          for (size_t i = 0; i < c.GetKeySize(); ++i) folded = folded * 31 + bookmark[i];
          for (uint8_t b : record) folded = folded * 31 + b;
          return int(folded);
        }
        // ---- End of keys, ranges, finds, bookmarks and positioning ----
        case 14:
          if (!open.empty()) open.erase(open.begin() + ptrdiff_t(r % open.size()));
          return int(open.size());
        case 0:
          s.AddPassword(w);
          return 0;
        case 1:
          s.RemovePassword(w);
          return 0;
        case 2:
          if (r % 8 == 0) s.RemoveAllPasswords();
          return 0;
        case 3:
          d.StartTransaction();
          return d.InTransaction();
        case 4:
          d.Commit(r % 2, false);
          return d.InTransaction();
        case 5:
          d.Rollback();
          return d.InTransaction();
        case 6:
          return d.TableExists(w == "a" ? table : w == "b" ? table + ".DAT" : "gamma", false);
        case 7:
          s.SetLockWaitTime(uint16_t(r % 300));
          return s.LockWaitTime();
        case 8:
          s.SetProgressSteps(uint16_t(r % 30));
          return int(s.GetProgressStepPercent());
        case 9: {
          TDataCursor c(d);
          c.SetTableName(table);
          c.RenameTable(other);
          return 0;
        }
        case 10: {
          TDataCursor c(d);
          c.SetTableName(table);
          c.DeleteTable();
          return 0;
        }
        case 11: {
          TDataCursor c(d);
          c.SetTableName(table);
          return int(c.GetDataHeader().size());
        }
        default: {
          TDataCursor c(d);
          c.SetTableName(table);
          c.SetExclusive(true);
          TCreateTableArgs a;
          a.Fields = {datafile_test::field(1, "CODE", kFieldTypeBytes, uint16_t(1 + r % 40))};
          a.NoPrimaryIndex = true;
          a.BlobBlockSize = uint16_t(512 * (r % 3));
          a.Overwrite = r % 5 == 0;
          c.CreateTable(a);
          return 0;
        }
      }
    };
    int outLocal = 0, outRemote = 0;
    const uint16_t errLocal = errorOf([&] { outLocal = run(local, *dl, openLocal, *kl, keysLocal); });
    const uint16_t errRemote = errorOf([&] { outRemote = run(remote, *dr, openRemote, *kr, keysRemote); });
    ASSERT_EQ(errLocal, errRemote);
    // A failed remote request brings back no cursor state, where the local operation may have taken
    // up other cursors' writes before it failed: the cursors look at their tables again.
    for (size_t i = 0; errLocal != 0 && op >= 22 && i < keysLocal.size(); ++i) {
      ASSERT_EQ(errorOf([&] { keysLocal[i]->Refresh(); }), errorOf([&] { keysRemote[i]->Refresh(); }));
    }
    ASSERT_EQ(outLocal, outRemote);
    ASSERT_EQ(local.PasswordCount(), server.passwordCount(remote.SessionId()));
    if (op >= 23 && op <= 29 && errLocal == 0 && !keysLocal.empty()) ++keyStepsDone;
    if ((op == 19 || op == 20) && errLocal == 0) ++dataStepsDone;
  }
  EXPECT_GT(keyStepsDone, 20);
  // The key steps' own requests reached the server (no seed of 300 sent fewer than 14).
  int navigated = 0;
  for (uint16_t code : std::initializer_list<uint16_t>{
           REQUEST_CLONECURSOR, REQUEST_SETINDEXNAME, REQUEST_SETTORECBUF, REQUEST_CLONECURRECORD,
           REQUEST_SETTOBOOKMARK, REQUEST_FIND, REQUEST_SETRANGE, REQUEST_RESETRANGE, REQUEST_CANCELRECORD})
    navigated += server.handled(code);
  EXPECT_GT(navigated, 5);
  // The blob, filter and maintenance steps went to the server, not to local stand-ins.
  int served = 0;
  for (uint16_t code = REQUEST_OPENBLOB; code <= REQUEST_DEACTIVATEFILTER; ++code)
    served += server.handled(code);
  EXPECT_TRUE(served > 0 || dataStepsDone == 0);
  // What no request carries is refused on a remote cursor, not kept where the server never sees it.
  openRemote.clear();
  if (dr->InTransaction()) dr->Rollback();
  dataStep(18, 1, "plain", *dr, openRemote);
  TDataCursor c(*dr);
  c.SetTableName("plain");
  c.Open();
  EXPECT_EQ(errorOf([&] { c.SetTextIndexParams(nullptr, {}, {}); }), VELDOR_REMOTEINVREQUEST);
  EXPECT_EQ(errorOf([&] { c.SetHeaderInfo(1, 2, "x"); }), VELDOR_REMOTEINVREQUEST);
  EXPECT_EQ(errorOf([&] { c.SetIndexNameAndFields(0, {}); }), VELDOR_REMOTEINVREQUEST);
}

}  // namespace
