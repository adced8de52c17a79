// Object types of the Oracle client over the stand-in server's type catalog: types described
// with nested attributes and collections, objects read and written by path, object, REF and
// nested-table columns fetched through the object defines, a REF pinned and flushed, the
// nested-table dataset written back through an object parameter, a PL/SQL round trip, and
// XMLTYPE columns and parameters.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "oracle/ora_nestedtable.h"
#include "oracle/ora_query.h"
#include "oracle/ora_session.h"
#include "oracle/ora_sql.h"
#include "oracle/oraclasses.h"
#include "oracle/oraerror.h"
#include "oracle/oraobjects.h"
#include "oracle/oraobjects_data.h"
#include "platform/scopeguard.h"
#include "tests/oracle/oracle_testing.h"

namespace oracle {
namespace {

using dataaccess::Variant;

template <class T>
struct Held {
  T* p;
  explicit Held(T* object) : p(object) {}
  ~Held() {
    if (p) p->Release();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  T* operator->() const { return p; }
  T* get() const { return p; }
};

// The message of what `f` raises; empty when it raises nothing.
template <class F>
std::string raised(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

class ObjectStandInTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder() = std::make_unique<platform::testing::TempFolder>();
    const std::filesystem::path seed = std::filesystem::path(ORACLE_TEST_SEED).parent_path() / "objects.seed";
    testing::seedStandInServer(*folder(), seed.string());
    TOCIConnection c;
    c.SetUsername("scott");
    c.SetPassword("tiger");
    c.SetServer("ORCL");
    c.Connect("");
    for (const char* sql : {
             "create type address_t as object (street varchar2(30), zip number(5))",
             "create type phones_t as varray(3) of varchar2(20)",
             "create type person_t as object (name varchar2(20), addr address_t, phones phones_t, born date)",
             "create table people of person_t",
             "create table orders (id number(4), buyer ref person_t, ship address_t, lines lines_t)"
             " nested table lines store as order_lines",
             "insert into people values ('Ann', address_t('Main St', 12345), phones_t('555-1', '555-2'),"
             " '1990-05-17 00:00:00')",
             "insert into people values ('Bob', NULL, NULL, NULL)",
             "insert into orders select 1, ref(p), address_t('Dock 4', 99999), lines_t(1.5, 2, 3)"
             " from people p where p.name = 'Ann'",
             "insert into orders values (2, NULL, NULL, NULL)",
             "create table xdocs (id number(4), doc xmltype)",
             "insert into xdocs values (1, xmltype('<order id=\"1\"><line>7</line></order>'))",
             "insert into xdocs values (2, NULL)",
         }) {
      TOCICommand command;
      command.SetConnection(&c);
      command.SetSQL(sql);
      command.Execute(1);
    }
    c.Commit();
    c.Disconnect();
  }
  static void TearDownTestSuite() {
    FreeOCI();
    folder().reset();
  }
  static std::unique_ptr<platform::testing::TempFolder>& folder() {
    static std::unique_ptr<platform::testing::TempFolder> server;
    return server;
  }
  void SetUp() override {
    connection_ = std::make_unique<TOCIConnection>();
    connection_->SetUsername("scott");
    connection_->SetPassword("tiger");
    connection_->SetServer("ORCL");
    connection_->Connect("");
  }
  void TearDown() override {
    connection_.reset();
    FreeOCI();
  }
  void* svc() { return connection_->GetSvcCtx(); }
  std::unique_ptr<TOCICommand> command(const std::string& sql) {
    auto c = std::make_unique<TOCICommand>();
    c->SetConnection(connection_.get());
    c->SetSQL(sql);
    return c;
  }
  // The first column of the first row as text (an object's image when the query makes text of it).
  std::string text(const std::string& sql) {
    auto r = recordSet(sql);
    r->Open();
    std::vector<uint8_t> record(r->RecordSize);
    r->SetToBegin();
    r->GetNextRecord(record.data());
    const Variant v = r->GetFieldAsVariant(1, record.data());
    return v.isNull() ? std::string() : v.asString();
  }
  std::unique_ptr<TOCIRecordSet> recordSet(const std::string& sql) {
    auto r = connection_->CreateRecordSet();
    r->SetSQL(sql);
    r->SetProp(dataaccess::prFetchRows, Variant(int32_t(1)));
    return std::unique_ptr<TOCIRecordSet>(static_cast<TOCIRecordSet*>(r.release()));
  }
  std::unique_ptr<TOCIConnection> connection_;
};

TEST_F(ObjectStandInTest, TypesAreDescribedWithNestedAttributesAndCollections) {
  Held<TOraType> person(TObjectTypes::GetType(svc(), "PERSON_T"));
  ASSERT_EQ(person->AttributeCount(), 4);
  EXPECT_EQ(person->DataType, dataaccess::dtObject);
  EXPECT_EQ(person->Attribute(0).Name, "NAME");
  EXPECT_EQ(person->Attribute(0).Length, 20);
  EXPECT_EQ(person->Attribute(1).DataType, dataaccess::dtObject);
  EXPECT_TRUE(person->Layout(1).Embedded);
  EXPECT_EQ(person->AttrType(1)->Attribute(1).Name, "ZIP");
  EXPECT_EQ(person->Attribute(2).DataType, dataaccess::dtArray);
  EXPECT_EQ(person->AttrType(2)->Size, 3);
  EXPECT_EQ(person->Attribute(3).DataType, 8);  // DATE
  Held<TOraType> lines(TObjectTypes::GetType(svc(), "SCOTT.LINES_T"));
  EXPECT_EQ(lines->DataType, dataaccess::dtTable);
  EXPECT_EQ(lines->Attribute(0).DataType, 5);  // NUMBER(6,2) reads as a float

  EXPECT_NE(raised([&] { TObjectTypes::GetType(svc(), "NO_SUCH_T"); }).find("ORA-04043"), std::string::npos);
  EXPECT_NE(raised([&] { TObjectTypes::GetType(svc(), "A.B.C"); }).find("ORA-04043"), std::string::npos);
  // A type the catalog cannot hold is refused when it is created, and nothing of it is kept.
  EXPECT_NE(raised([&] { command("create type blobby_t as object (b blob)")->Execute(1); }).find("ORA-00902"),
            std::string::npos);
  EXPECT_NE(raised([&] { TObjectTypes::GetType(svc(), "BLOBBY_T"); }).find("ORA-04043"), std::string::npos);
}

TEST_F(ObjectStandInTest, ObjectsAreReadAndWrittenByPath) {
  Held<TOraObject> o(new TOraObject());
  o->AllocObject(svc(), "PERSON_T");
  o->SetAttrAsString("NAME", "Cy");
  o->SetAttrAsString("ADDR.STREET", "High St");
  o->SetAttrAsInteger("ADDR.ZIP", 4711);
  o->SetAttrAsString("PHONES[0]", "1");
  o->SetAttrAsString("PHONES[1]", "2");
  EXPECT_EQ(o->AttrAsString("ADDR.STREET"), "High St");
  EXPECT_EQ(o->AttrAsInteger("addr.zip"), 4711);
  EXPECT_EQ(o->AttrAsString("PHONES[1]"), "2");
  EXPECT_TRUE(o->AttrIsNull("BORN"));

  EXPECT_EQ(raised([&] { o->AttrAsString("PHONES[2]"); }), SInvalidIndex);
  EXPECT_EQ(raised([&] { o->AttrAsString("ADDR.CITY"); }), "Invalid attribute name");
  EXPECT_EQ(raised([&] { o->AttrAsString("NAME[0]"); }), "Invalid attribute name");
  o->SetAttrAsString("PHONES[2]", "3");
  // The VARRAY's limit is the server's: a fourth element is refused there.
  EXPECT_NE(raised([&] { o->SetAttrAsString("PHONES[3]", "4"); }).find("ORA-22165"), std::string::npos);
  Held<TOraArray> phones(o->AttrAsArray("PHONES"));
  EXPECT_EQ(phones->Size(), 3);
  EXPECT_EQ(raised([&] { phones->ItemAsString(-1); }), SInvalidIndex);

  // A copy is a value of its own.
  Held<TOraObject> copy(new TOraObject(o->OraType()));
  copy->SetSvcCtx(svc());
  copy->Assign(*o.get());
  o->SetAttrAsString("ADDR.STREET", "Low St");
  EXPECT_EQ(copy->AttrAsString("ADDR.STREET"), "High St");
}

TEST_F(ObjectStandInTest, QueryFetchesObjectRefAndNestedTableColumns) {
  auto r = recordSet("select id, buyer, ship, lines from orders order by id");
  r->Open();
  // The object column's attributes follow it as child fields; the nested table has none.
  ASSERT_EQ(r->Fields.Count(), 6);
  EXPECT_EQ(r->Fields[1].DataType, dataaccess::dtReference);
  EXPECT_EQ(r->Fields[2].DataType, dataaccess::dtObject);
  EXPECT_EQ(r->Fields[3].ActualName, "SHIP.STREET");
  EXPECT_EQ(r->Fields[4].ActualName, "SHIP.ZIP");
  EXPECT_EQ(r->Fields[5].DataType, dataaccess::dtTable);
  std::vector<uint8_t> record(r->RecordSize);
  r->SetToBegin();
  r->GetNextRecord(record.data());
  auto* ship = dynamic_cast<TOraObject*>(r->GetFieldObject(3, record.data()));
  ASSERT_NE(ship, nullptr);
  EXPECT_EQ(ship->AttrAsString("STREET"), "Dock 4");
  EXPECT_EQ(ship->AttrAsInteger("ZIP"), 99999);
  // The object's attributes are child fields after it, read through the object.
  const int street = r->FieldByName("SHIP.STREET").FieldNo;
  EXPECT_EQ(r->GetFieldAsVariant(street, record.data()).asString(), "Dock 4");
  auto* lines =
      dynamic_cast<TOraNestTable*>(r->GetFieldObject(r->FieldByName("LINES").FieldNo, record.data()));
  ASSERT_NE(lines, nullptr);
  EXPECT_EQ(lines->Size(), 3);
  EXPECT_DOUBLE_EQ(lines->ItemAsFloat(0), 1.5);

  // The second row's values are null, and the first row's objects keep theirs.
  r->GetNextRecord(record.data());
  EXPECT_TRUE(r->GetNull(2, record.data()));
  EXPECT_TRUE(r->GetNull(3, record.data()));
  EXPECT_TRUE(r->GetNull(street, record.data()));
  EXPECT_TRUE(r->GetNull(r->FieldByName("LINES").FieldNo, record.data()));
  EXPECT_EQ(ship->AttrAsString("STREET"), "Dock 4");
  r->Close();
}

TEST_F(ObjectStandInTest, RefIsPinnedFollowedAndFlushed) {
  auto r = recordSet("select buyer from orders where id = 1");
  r->Open();
  std::vector<uint8_t> record(r->RecordSize);
  r->SetToBegin();
  r->GetNextRecord(record.data());
  auto* ref = dynamic_cast<TOraRef*>(r->GetFieldObject(1, record.data()));
  ASSERT_NE(ref, nullptr);
  ASSERT_FALSE(ref->RefIsNull());
  EXPECT_FALSE(ref->AsHex().empty());
  // The fetch pinned it.
  EXPECT_EQ(ref->AttrAsString("NAME"), "Ann");
  EXPECT_EQ(ref->AttrAsString("ADDR.STREET"), "Main St");
  EXPECT_EQ(ref->AttrAsString("PHONES[1]"), "555-2");
  EXPECT_DOUBLE_EQ(ref->AttrAsDateTime("BORN").days, double(dataset::daysFromCivil(1990, 5, 17)));

  // The record store of a REF flushes its changes to the row.
  TRefData data;
  data.SetRef(ref);
  data.Open();
  uint8_t* rec = data.AllocRecBuf();
  data.SetToBegin();
  data.GetNextRecord(rec);
  data.PutFieldAsVariant(data.FieldByName("REF.ADDR.STREET").FieldNo, rec, Variant("Elm St"));
  data.UpdateRecord(rec);
  dataaccess::TData::FreeRecBuf(rec);
  data.Close();
  EXPECT_EQ(text("select p.addr || '' from people p where p.name = 'Ann'"),
            "SCOTT.ADDRESS_T('Elm St', '12345')");

  // Marked for delete, the object's row goes; a cleared REF is null and no longer pins.
  ref->Pin();
  ref->MarkDelete();
  EXPECT_EQ(text("select count(*) from people"), "1");
  connection_->Rollback();
  ref->Clear();
  EXPECT_TRUE(ref->RefIsNull());
  EXPECT_NE(raised([&] { ref->Pin(); }), "");
  r->Close();
}

TEST_F(ObjectStandInTest, NestedTableDatasetEditsAreWrittenBackThroughAnObjectParameter) {
  auto r = recordSet("select lines from orders where id = 1");
  r->Open();
  std::vector<uint8_t> record(r->RecordSize);
  r->SetToBegin();
  r->GetNextRecord(record.data());
  auto* lines = dynamic_cast<TOraNestTable*>(r->GetFieldObject(1, record.data()));
  ASSERT_NE(lines, nullptr);

  TOraNestedTable ds;
  ds.SetTable(lines);
  ds.Open();
  ds.First();
  ds.Edit();
  ds.FieldByName("ELEMENT").SetValue(Variant(7.25));
  ds.Post();
  ds.Next();
  ds.Delete();
  ds.Append();
  ds.FieldByName("ELEMENT").SetValue(Variant(4.0));
  ds.Post();
  ds.Close();

  auto update = command("update orders set lines = :l where id = 1");
  TOraParamDesc& l = update->Param(0);
  l.SetDataType(dataaccess::dtTable);
  l.SetObject(lines);
  update->Execute(1);
  EXPECT_EQ(text("select lines || '' from orders where id = 1"), "SCOTT.LINES_T('7.25', '3', '4')");
  connection_->Rollback();
  r->Close();
}

TEST_F(ObjectStandInTest, ObjectParameterRoundTripsThroughPlsqlBlock) {
  Held<TOraType> person(TObjectTypes::GetType(svc(), "PERSON_T"));
  Held<TOraObject> in(new TOraObject(person.get()));
  in->SetSvcCtx(svc());
  in->AllocObject();
  in->SetAttrAsString("NAME", "Dee");
  in->SetAttrAsString("ADDR.STREET", "Quay");
  in->SetAttrAsString("PHONES[0]", "9");
  Held<TOraObject> out(new TOraObject(person.get()));

  auto block = command("begin :o := :i; end;");
  TOraParamDesc& o = block->Param(0);
  o.SetDataType(dataaccess::dtObject);
  o.SetParamType(2);
  o.SetObject(out.get());
  TOraParamDesc& i = block->Param(1);
  i.SetDataType(dataaccess::dtObject);
  i.SetObject(in.get());
  block->Execute(1);
  EXPECT_EQ(out->AttrAsString("NAME"), "Dee");
  EXPECT_EQ(out->AttrAsString("ADDR.STREET"), "Quay");
  EXPECT_EQ(out->AttrAsString("PHONES[0]"), "9");
  EXPECT_TRUE(out->AttrIsNull("ADDR.ZIP"));

  // An object parameter of a SELECT ... INTO comes back from a table.
  auto select = command("begin select ship into :s from orders where id = 1; end;");
  Held<TOraObject> ship(new TOraObject());
  ship->AllocObject(svc(), "ADDRESS_T");
  TOraParamDesc& s = select->Param(0);
  s.SetDataType(dataaccess::dtObject);
  s.SetParamType(2);
  s.SetObject(ship.get());
  select->Execute(1);
  EXPECT_EQ(ship->AttrAsString("STREET"), "Dock 4");

  // A block may make the value with the type's constructor.
  auto make = command("begin :s := address_t('Pier ' || :n, 7); end;");
  TOraParamDesc& made = make->Param(0);
  made.SetDataType(dataaccess::dtObject);
  made.SetParamType(2);
  made.SetObject(ship.get());
  make->Param(1).SetValue(Variant(std::string("9")));
  make->Execute(1);
  EXPECT_EQ(ship->AttrAsString("STREET"), "Pier 9");
  EXPECT_EQ(ship->AttrAsInteger("ZIP"), 7);

  // A parameter without a type is refused before anything runs.
  auto untyped = command("begin :o := NULL; end;");
  untyped->Param(0).SetDataType(dataaccess::dtObject);
  Held<TOraObject> bare(new TOraObject());
  untyped->Param(0).SetObject(bare.get());
  EXPECT_EQ(raised([&] { untyped->Execute(1); }), "Type of object must be defined");
}

TEST_F(ObjectStandInTest, ObjectsKeptAcrossAnotherHomeAreLostAndTheirTypesDescribedAgain) {
  Held<TOraType> person(TObjectTypes::GetType(svc(), "PERSON_T"));
  Held<TOraObject> kept(new TOraObject(person.get()));
  kept->SetSvcCtx(svc());
  kept->AllocObject();
  kept->SetAttrAsString("NAME", "Cy");
  kept->SetAttrAsString("PHONES[0]", "1");
  Held<TOraArray> phones(kept->AttrAsArray("PHONES"));
  auto r = recordSet("select buyer from orders where id = 1");
  r->Open();
  std::vector<uint8_t> record(r->RecordSize);
  r->SetToBegin();
  r->GetNextRecord(record.data());
  auto* ref = dynamic_cast<TOraRef*>(r->GetFieldObject(1, record.data()));
  ASSERT_NE(ref, nullptr);
  ASSERT_EQ(ref->AttrAsString("NAME"), "Ann");

  // Another Oracle home: the client library goes, and its environment with it.
  connection_->Disconnect();
  FreeOCI();
  connection_->Connect("");
  // The cache describes the type again on the new client.
  Held<TOraType> again(TObjectTypes::GetType(svc(), "PERSON_T"));
  EXPECT_NE(again.get(), person.get());
  EXPECT_EQ(again->AttributeCount(), 4);

  const std::string lost = "Object was lost with the client of another Oracle home";
  EXPECT_EQ(raised([&] { kept->AttrAsString("NAME"); }), lost);
  EXPECT_EQ(raised([&] { kept->GetIsNull(); }), lost);
  EXPECT_EQ(raised([&] { phones->Size(); }), lost);
  EXPECT_EQ(raised([&] { ref->RefIsNull(); }), lost);
  EXPECT_EQ(raised([&] { ref->AttrAsString("NAME"); }), lost);
  // Nor is the lost value bound, nor a new one made in its place without a word.
  auto block = command("begin :o := :i; end;");
  Held<TOraObject> out(new TOraObject(person.get()));
  TOraParamDesc& o = block->Param(0);
  o.SetDataType(dataaccess::dtObject);
  o.SetParamType(2);
  o.SetObject(out.get());
  TOraParamDesc& i = block->Param(1);
  i.SetDataType(dataaccess::dtObject);
  i.SetObject(kept.get());
  EXPECT_EQ(raised([&] { block->Execute(1); }), lost);
  EXPECT_EQ(raised([&] { kept->AllocObject(); }), lost);

  // A new value of the kept type describes it again.
  kept->FreeObject();
  kept->SetSvcCtx(svc());
  kept->AllocObject();
  EXPECT_EQ(person->AttributeCount(), 4);
  kept->SetAttrAsString("ADDR.STREET", "Quay");
  block->Execute(1);
  EXPECT_EQ(out->AttrAsString("ADDR.STREET"), "Quay");
  EXPECT_TRUE(out->AttrIsNull("NAME"));
}

TEST_F(ObjectStandInTest, AnOutputObjectKeptAcrossAnotherHomeIsOnlyReplacedByTheStatement) {
  Held<TOraType> person(TObjectTypes::GetType(svc(), "PERSON_T"));
  Held<TOraObject> out(new TOraObject(person.get()));
  const auto run = [&](const std::string& name) {
    auto block = command("begin :o := :i; end;");
    Held<TOraObject> in(new TOraObject(person.get()));
    in->SetSvcCtx(svc());
    in->AllocObject();
    in->SetAttrAsString("NAME", name);
    TOraParamDesc& o = block->Param(0);
    o.SetDataType(dataaccess::dtObject);
    o.SetParamType(2);
    o.SetObject(out.get());
    TOraParamDesc& i = block->Param(1);
    i.SetDataType(dataaccess::dtObject);
    i.SetObject(in.get());
    block->Execute(1);
  };
  run("Dee");
  ASSERT_EQ(out->AttrAsString("NAME"), "Dee");

  connection_->Disconnect();
  FreeOCI();
  connection_->Connect("");
  EXPECT_EQ(raised([&] { out->AttrAsString("NAME"); }),
            "Object was lost with the client of another Oracle home");
  // Nothing of the lost value is sent: the statement gives the parameter its new value.
  run("Eve");
  EXPECT_EQ(out->AttrAsString("NAME"), "Eve");
}

// A REF parameter has no instance to allocate, so nothing else describes its kept type again: the
// bind does, never handing the new client the descriptor that went with the old one.
TEST_F(ObjectStandInTest, ARefParameterOfATypeKeptAcrossAnotherHomeIsBoundWithTheTypeDescribedAgain) {
  Held<TOraType> person(TObjectTypes::GetType(svc(), "PERSON_T"));
  Held<TOraRef> buyer(new TOraRef(person.get()));

  connection_->Disconnect();
  FreeOCI();
  connection_->Connect("");
  auto select = command("begin select buyer into :r from orders where id = 1; end;");
  TOraParamDesc& r = select->Param(0);
  r.SetDataType(dataaccess::dtReference);
  r.SetParamType(2);
  r.SetObject(buyer.get());
  select->Execute(1);
  EXPECT_FALSE(person->Stale());
  ASSERT_FALSE(buyer->RefIsNull());
  buyer->Pin();
  EXPECT_EQ(buyer->AttrAsString("NAME"), "Ann");
}

TEST_F(ObjectStandInTest, AKeptTypeThatCannotBeDescribedAgainIsNeverTakenForDescribed) {
  command("create type kept_t as object (a varchar2(10))")->Execute(1);
  Held<TOraType> kept(TObjectTypes::GetType(svc(), "KEPT_T"));
  Held<TOraObject> object(new TOraObject(kept.get()));
  object->SetSvcCtx(svc());
  object->AllocObject();
  object->SetAttrAsString("A", "x");

  connection_->Disconnect();
  FreeOCI();
  connection_->Connect("");
  // Dropped on the server while the other client was loaded: the kept type cannot be described.
  command("drop type kept_t")->Execute(1);
  object->FreeObject();
  object->SetSvcCtx(svc());
  EXPECT_NE(raised([&] { object->AllocObject(); }).find("ORA-04043"), std::string::npos);
  EXPECT_NE(raised([&] { object->AllocObject(); }).find("ORA-04043"), std::string::npos);

  // Made again with another shape: the cache and the kept object both take the new one, never the
  // half-described type with the old client's descriptor.
  command("create type kept_t as object (a varchar2(10), b number(4))")->Execute(1);
  Held<TOraType> again(TObjectTypes::GetType(svc(), "KEPT_T"));
  EXPECT_EQ(again->AttributeCount(), 2);
  object->AllocObject();
  EXPECT_EQ(kept->AttributeCount(), 2);
  object->SetAttrAsInteger("B", 7);
  EXPECT_EQ(object->AttrAsInteger("B"), 7);
  object->FreeObject();
  command("drop type kept_t")->Execute(1);
}

// A type made under a quoted mixed-case name is known to the cache by its name upper-cased, but
// on the server only by the name it was made with: kept across another Oracle home, it is
// described again under that one, and its objects go on as before.
TEST_F(ObjectStandInTest, AKeptTypeOfAQuotedMixedCaseNameIsDescribedAgainUnderThatName) {
  command("create type \"MyType\" as object (\"Label\" varchar2(10), n number(4))")->Execute(1);
  platform::ScopeExit drop([&] { command("drop type \"MyType\"")->Execute(1); });
  Held<TOraType> type(TObjectTypes::GetType(svc(), "SCOTT.MyType"));
  ASSERT_EQ(type->AttributeCount(), 2);
  Held<TOraObject> object(new TOraObject(type.get()));
  const auto roundTrip = [&](const std::string& label, int32_t n) {
    object->FreeObject();
    object->SetSvcCtx(svc());
    object->AllocObject();
    object->SetAttrAsString("Label", label);
    object->SetAttrAsInteger("N", n);
    auto block = command("begin :o := :i; end;");
    Held<TOraObject> out(new TOraObject(type.get()));
    TOraParamDesc& o = block->Param(0);
    o.SetDataType(dataaccess::dtObject);
    o.SetParamType(2);
    o.SetObject(out.get());
    TOraParamDesc& i = block->Param(1);
    i.SetDataType(dataaccess::dtObject);
    i.SetObject(object.get());
    block->Execute(1);
    return out->AttrAsString("Label") + "/" + std::to_string(out->AttrAsInteger("N"));
  };
  EXPECT_EQ(roundTrip("first", 1), "first/1");

  connection_->Disconnect();
  FreeOCI();
  connection_->Connect("");
  EXPECT_EQ(roundTrip("second", 2), "second/2");
  EXPECT_FALSE(type->Stale());
  EXPECT_EQ(type->AttributeCount(), 2);
  EXPECT_EQ(type->Name, "SCOTT.MYTYPE");
}

TEST_F(ObjectStandInTest, DamagedValuesAndTypesGiveClearErrors) {
  // A column takes only values of its type, as text or through a bind.
  for (const char* value : {"SCOTT.ADDRESS_T('x'", "SCOTT.PHONES_T('1', '2')", "SCOTT.ADDRESS_T('x')", "x"}) {
    auto write = command("update orders set ship = :v where id = 2");
    write->Param(0).SetValue(Variant(std::string(value)));
    EXPECT_NE(raised([&] { write->Execute(1); }).find("ORA-00932"), std::string::npos) << value;
  }
  EXPECT_NE(
      raised([&] { command("update orders set buyer = 'ABCD' where id = 2")->Execute(1); }).find("ORA-00932"),
      std::string::npos);
  // What gets past that (a value of the right shape but a damaged part, or a row of a damaged
  // file) is refused at the fetch.
  for (const char* sql : {"select lines from broken where id = 1", "select ship from orders where id = 2"}) {
    command("update orders set ship = 'SCOTT.ADDRESS_T(''x'', ''y'')' where id = 2")->Execute(1);
    auto r = recordSet(sql);
    EXPECT_NE(raised([&] { r->Open(); }).find("ORA-22337"), std::string::npos) << sql;
    connection_->Rollback();
  }
  // A constructor checks its values against the type.
  EXPECT_NE(raised([&] {
              command("update orders set ship = address_t('x') where id = 2")->Execute(1);
            }).find("ORA-02315"),
            std::string::npos);
  EXPECT_NE(raised([&] {
              command("update orders set ship = address_t('x', 'abc') where id = 2")->Execute(1);
            }).find("ORA-01722"),
            std::string::npos);
  EXPECT_NE(raised([&] {
              command("update orders set ship = address_t('x', 123456) where id = 2")->Execute(1);
            }).find("ORA-01438"),
            std::string::npos);
  // A damaged description in the catalog reads as no type at all.
  command("update sys.\"type$\" set source = 'create type lines_t as table of' where name = 'LINES_T'")
      ->Execute(1);
  EXPECT_NE(raised([&] { TObjectTypes::GetType(svc(), "LINES_T"); }).find("ORA-04043"), std::string::npos);
  connection_->Rollback();
}

TEST_F(ObjectStandInTest, QueryDatasetHoldsObjectFieldsAndANestedTableDatasetOverOne) {
  TOraSession session;
  session.LoginPrompt = false;
  session.SetUsername("scott");
  session.SetPassword("tiger");
  session.SetServer("ORCL");
  TOraQuery query;
  query.SetSession(&session);
  query.SetSQL("select id, ship, lines from orders order by id");
  query.Open();
  EXPECT_EQ(query.FieldByName("SHIP").DataType(), dataset::ftADT);
  EXPECT_EQ(query.FieldByName("LINES").DataType(), dataset::ftDataSet);
  auto* ship = dynamic_cast<TOraObject*>(query.GetFieldObject(query.FieldByName("SHIP")));
  ASSERT_NE(ship, nullptr);
  EXPECT_EQ(ship->AttrAsString("STREET"), "Dock 4");
  // The attributes are the object field's children.
  ASSERT_EQ(query.FieldByName("SHIP").Children.size(), 2u);
  EXPECT_EQ(query.FieldByName("SHIP").Children[0]->AsString(), "Dock 4");
  EXPECT_EQ(query.FieldByName("ZIP").AsInteger(), 99999);
  auto* lines = dynamic_cast<TOraNestTable*>(query.GetFieldObject(query.FieldByName("LINES")));
  ASSERT_NE(lines, nullptr);
  TOraNestedTable elements;
  elements.SetTable(lines);
  elements.Open();
  std::vector<double> seen;
  for (elements.First(); !elements.Eof(); elements.Next())
    seen.push_back(elements.FieldByName("ELEMENT").AsFloat());
  EXPECT_EQ(seen, (std::vector<double>{1.5, 2, 3}));
  elements.Close();

  // The nested table goes back as a parameter of the query's session.
  TOraQuery update;
  update.SetSession(&session);
  update.SetSQL("update orders set lines = :l where id = 1");
  TOraParam& l = update.ParamByName("L");
  l.SetDataType(dataset::ftDataSet);
  TOraNestTable* value = l.GetNestedTable();
  ASSERT_NE(value, nullptr);
  value->SetObjectType(lines->ObjectType());
  value->SetSvcCtx(lines->SvcCtx());
  value->AssignArray(*lines);
  value->DeleteItem(0);
  update.Execute();
  query.Close();
  query.SetSQL("select lines || '' from orders where id = 1");
  query.Open();
  EXPECT_EQ(query.Fields(0).AsString(), "SCOTT.LINES_T('2', '3')");
  query.Close();
  session.Rollback();
}

TEST_F(ObjectStandInTest, XmltypeColumnsReadTheirDocumentsThroughThePickleStream) {
  auto r = recordSet("select id, doc from xdocs order by id");
  r->Open();
  EXPECT_EQ(r->Fields[1].DataType, dtXML);
  std::vector<uint8_t> record(r->RecordSize);
  r->SetToBegin();
  r->GetNextRecord(record.data());
  EXPECT_EQ(r->GetFieldAsVariant(2, record.data()).asString(), "<order id=\"1\"><line>7</line></order>");
  r->GetNextRecord(record.data());
  EXPECT_TRUE(r->GetFieldAsVariant(2, record.data()).isNull());
  r->Close();

  TOraSession session;
  session.LoginPrompt = false;
  session.SetUsername("scott");
  session.SetPassword("tiger");
  session.SetServer("ORCL");
  TOraQuery query;
  query.SetSession(&session);
  query.SetSQL("select doc from xdocs where id = 1");
  query.Open();
  EXPECT_EQ(query.FieldByName("DOC").DataType(), dataaccess::ftXML);
  EXPECT_EQ(query.FieldByName("DOC").AsString(), "<order id=\"1\"><line>7</line></order>");
  query.Close();

  EXPECT_NE(raised([&] {
              command("insert into xdocs values (3, xmltype('not a document'))")->Execute(1);
            }).find("ORA-31011"),
            std::string::npos);
  EXPECT_NE(
      raised([&] { command("create type holder_t as object (x xmltype)")->Execute(1); }).find("ORA-00902"),
      std::string::npos);
}

TEST_F(ObjectStandInTest, XmltypeParametersGoInAndComeBackOut) {
  const std::string doc = "<order id=\"1\"><line>7</line></order>";
  auto r = recordSet("select doc from xdocs where id = 1");
  r->Open();
  std::vector<uint8_t> record(r->RecordSize);
  r->SetToBegin();
  r->GetNextRecord(record.data());
  auto* fetched = dynamic_cast<TOraXML*>(r->GetFieldObject(1, record.data()));
  ASSERT_NE(fetched, nullptr);

  // A fetched value goes back as it is; an output value without a type takes SYS.XMLTYPE.
  Held<TOraXML> out(new TOraXML());
  auto copy = command("begin :o := :i; end;");
  copy->Param(0).SetDataType(dtXML);
  copy->Param(0).SetParamType(2);
  copy->Param(0).SetObject(out.get());
  copy->Param(1).SetDataType(dtXML);
  copy->Param(1).SetObject(fetched);
  copy->Execute(1);
  EXPECT_EQ(out->AsString(), doc);
  EXPECT_EQ(out->OraType()->Name, "SYS.XMLTYPE");

  // A value held by the parameter itself; a null result clears what an earlier run left.
  auto select = command("begin select doc into :d from xdocs where id = :id; end;");
  TOraParamDesc& d = select->Param(0);
  d.SetDataType(dtXML);
  d.SetParamType(2);
  select->Param(1).SetValue(Variant(int32_t(1)));
  select->Execute(1);
  EXPECT_FALSE(d.GetNull());
  EXPECT_EQ(d.GetValue(), Variant(doc));
  select->Param(1).SetValue(Variant(int32_t(2)));
  select->Execute(1);
  EXPECT_TRUE(d.GetNull());
  EXPECT_TRUE(d.GetValue().isNull());

  // A text given to a value that had an instance is what goes in, each run its own.
  auto insert = command("insert into xdocs values (:id, :d)");
  insert->Param(1).SetDataType(dtXML);
  insert->Param(1).SetObject(out.get());
  for (int id : {3, 4}) {
    out->SetAsString("<n>" + std::to_string(id) + "</n>");
    insert->Param(0).SetValue(Variant(int32_t(id)));
    insert->Execute(1);
  }
  EXPECT_EQ(text("select doc from xdocs where id = 3"), "<n>3</n>");
  EXPECT_EQ(text("select doc from xdocs where id = 4"), "<n>4</n>");
  out->SetAsString({});
  insert->Param(0).SetValue(Variant(int32_t(5)));
  insert->Execute(1);
  EXPECT_EQ(text("select count(*) from xdocs where id = 5 and doc is null"), "1");

  // A text that is no document is refused, and kept.
  out->SetAsString("not a document");
  insert->Param(0).SetValue(Variant(int32_t(6)));
  EXPECT_NE(raised([&] { insert->Execute(1); }).find("ORA-31011"), std::string::npos);
  EXPECT_EQ(out->AsString(), "not a document");
  EXPECT_EQ(text("select count(*) from xdocs where id = 6"), "0");
  connection_->Rollback();
  r->Close();
}

TEST_F(ObjectStandInTest, XmltypeParametersOfTheStatementComponentCarryText) {
  TOraSession session;
  session.LoginPrompt = false;
  session.SetUsername("scott");
  session.SetPassword("tiger");
  session.SetServer("ORCL");
  TOraQuery query;
  query.SetSession(&session);
  query.SetSQL("select doc from xdocs where id = 1");
  query.Open();
  const std::string doc = query.FieldByName("DOC").AsString();
  query.Close();

  TOraSQL sql;
  sql.SetSession(&session);
  sql.SetAutoCommit(false);
  sql.SetSQL("begin :o := :i; end;");
  TOraParam& in = sql.ParamByName("i");
  TOraParam& out = sql.ParamByName("o");
  in.SetDataType(dataaccess::ftXML);
  in.ParamType_ = dataset::ptInput;
  out.SetDataType(dataaccess::ftXML);
  out.ParamType_ = dataset::ptOutput;
  in.SetAsString(doc);
  sql.Execute();
  EXPECT_EQ(out.GetAsString(), doc);
  EXPECT_EQ(in.GetAsString(), doc);
  // A disconnect frees the instances; the documents stay and go again.
  sql.Disconnect();
  EXPECT_EQ(in.GetObject()->Instance(), nullptr);
  EXPECT_EQ(out.GetObject()->Instance(), nullptr);
  EXPECT_EQ(out.GetAsString(), doc);
  out.Clear();
  sql.Execute();
  EXPECT_EQ(out.GetAsString(), doc);
  in.Clear();
  sql.Execute();
  EXPECT_TRUE(out.IsNull());

  // The document goes into a table and comes back from it.
  sql.SetSQL("insert into xdocs values (7, :d)");
  sql.ParamByName("d").SetDataType(dataaccess::ftXML);
  sql.ParamByName("d").SetAsString("<seven/>");
  sql.Execute();
  query.SetSQL("select doc from xdocs where id = 7");
  query.Open();
  EXPECT_EQ(query.FieldByName("DOC").AsString(), "<seven/>");
  query.Close();
  session.Rollback();
}

// A text longer than a VARCHAR2(20) element, typed into the dataset over a collection: in a
// single-byte client character set every byte is a letter and the element keeps exactly 20 bytes;
// in UTF-8 and in a double-byte set it keeps the whole characters that fit. Alike for a collection
// fetched as a column and one taken from a fetched object's attribute.
TEST_F(ObjectStandInTest, ATextLongerThanItsElementIsCutByTheSessionsCharacterSet) {
  auto typed = [&](const char* nlsLang, const std::string& text) {
    ::setenv("NLS_LANG", nlsLang, 1);
    platform::ScopeExit unset([] { ::unsetenv("NLS_LANG"); });
    auto cut = [&](TOraArray* phones) {
      TOraNestedTable ds;
      ds.SetTable(phones);
      ds.Open();
      ds.First();
      ds.Edit();
      ds.FieldByName("ELEMENT").SetAsString(text);
      ds.Post();
      const std::string kept = ds.FieldByName("ELEMENT").AsString();
      ds.Close();
      return kept;
    };
    std::vector<std::string> kept;
    auto column = recordSet("select phones from people where name = 'Ann'");
    column->Open();
    std::vector<uint8_t> record(column->RecordSize);
    column->SetToBegin();
    column->GetNextRecord(record.data());
    auto* phones = dynamic_cast<TOraArray*>(column->GetFieldObject(1, record.data()));
    EXPECT_NE(phones, nullptr);
    if (phones) kept.push_back(cut(phones));
    column->Close();

    auto buyer = recordSet("select buyer from orders where id = 1");
    buyer->Open();
    std::vector<uint8_t> row(buyer->RecordSize);
    buyer->SetToBegin();
    buyer->GetNextRecord(row.data());
    auto* ref = dynamic_cast<TOraRef*>(buyer->GetFieldObject(1, row.data()));
    EXPECT_NE(ref, nullptr);
    if (ref) {
      Held<TOraArray> attribute(ref->AttrAsArray("PHONES"));
      kept.push_back(cut(attribute.get()));
    }
    buyer->Close();
    return kept;
  };
  const std::string latin = std::string(19, 'a') + "\xC3\xA9x";
  EXPECT_EQ(typed("AMERICAN_AMERICA.WE8ISO8859P1", latin), std::vector<std::string>(2, latin.substr(0, 20)));
  EXPECT_EQ(typed("AMERICAN_AMERICA.AL32UTF8", latin), std::vector<std::string>(2, std::string(19, 'a')));
  // A double-byte set keeps whole characters: no lead byte alone at the end (0x40 after it is no
  // UTF-8 tail), and no character dropped whose trail bytes look like UTF-8 tails.
  for (const char* nlsLang : {"JAPANESE_JAPAN.JA16SJIS", "SIMPLIFIED CHINESE_CHINA.ZHS16GBK"}) {
    EXPECT_EQ(typed(nlsLang, std::string(19, 'a') + "\x81\x40x"),
              std::vector<std::string>(2, std::string(19, 'a')))
        << nlsLang;
    EXPECT_EQ(typed(nlsLang, std::string(17, 'a') + "\x82\xA0\x82\xA0"),
              std::vector<std::string>(2, std::string(17, 'a') + "\x82\xA0"))
        << nlsLang;
  }
}

}  // namespace
}  // namespace oracle
