// Object types over the fake object layer: describing and laying out types, the type cache,
// attribute paths, collections, nested tables and REFs.
#include "oracle/oraobjects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dataaccess/daconsts.h"
#include "oracle/ora_nestedtable.h"
#include "oracle/ora_params.h"
#include "oracle/oraerror.h"
#include "oracle/oraobjects_data.h"
#include "platform/scopeguard.h"
#include "tests/oracle/oraobjects_fake.h"

namespace oracle {
namespace {

using testing::FakeAttr;
using testing::FakeObjectLayer;
using testing::FakeType;

template <class T>
struct Held {
  T* p;
  explicit Held(T* object) : p(object) {}
  ~Held() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  T* get() const { return p; }
};

FakeAttr text(const char* name, ub2 size) {
  return FakeAttr{name, 1, size};
}
FakeAttr number(const char* name, ub1 precision, sb1 scale = 0) {
  FakeAttr a{name, 2, 22};
  a.precision = precision;
  a.scale = scale;
  return a;
}
FakeAttr named(const char* name, const char* type, ub2 ociType = 108) {
  FakeAttr a{name, ociType, 0};
  a.typeName = type;
  return a;
}

// PERSON_T (NAME, AGE, BORN, ADDR ADDRESS_T, PHONES PHONE_LIST, ORDERS LINE_TAB, BOSS REF PERSON_T);
// LINE_T (QTY, PRICE, TAGS PHONE_LIST).
class ObjectTypesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.addType(
        FakeType{"SCOTT", "ADDRESS_T", OCI_TYPECODE_OBJECT, 0, true, {text("STREET", 40), text("CITY", 20)}});
    FakeType phones{"SCOTT", "PHONE_LIST", OCI_TYPECODE_NAMEDCOLLECTION, OCI_TYPECODE_VARRAY};
    phones.element = text("", 15);
    phones.numElems = 5;
    fake.addType(phones);
    fake.addType(FakeType{"SCOTT",
                          "LINE_T",
                          OCI_TYPECODE_OBJECT,
                          0,
                          true,
                          {number("QTY", 5), number("PRICE", 10, 2), named("TAGS", "PHONE_LIST")}});
    FakeType lines{"SCOTT", "LINE_TAB", OCI_TYPECODE_NAMEDCOLLECTION, OCI_TYPECODE_TABLE};
    lines.element = named("", "LINE_T");
    fake.addType(lines);
    fake.addType(FakeType{
        "SCOTT",
        "PERSON_T",
        OCI_TYPECODE_OBJECT,
        0,
        true,
        {text("NAME", 30), number("AGE", 3), FakeAttr{"BORN", 12, 7}, named("ADDR", "ADDRESS_T"),
         named("PHONES", "PHONE_LIST"), named("ORDERS", "LINE_TAB"), named("BOSS", "PERSON_T", 110)}});
  }

  TOraObject* newPerson() {
    auto* o = new TOraObject();
    o->AllocObject(fake.svc(), "SCOTT.PERSON_T");
    return o;
  }

  FakeObjectLayer fake;
};

TEST_F(ObjectTypesTest, DescribedTypeHasNestedAttributesCollectionsAndLayout) {
  Held<TOraType> t(TObjectTypes::GetType(fake.svc(), "SCOTT.PERSON_T"));
  ASSERT_EQ(t->AttributeCount(), 7);
  EXPECT_EQ(t->DataType, dataaccess::dtObject);
  EXPECT_EQ(t->Attribute(0).DataType, 1);
  EXPECT_EQ(t->Attribute(0).Length, 30);
  EXPECT_EQ(t->Layout(0).Size, 31);
  EXPECT_EQ(t->Attribute(1).DataType, 4);  // NUMBER(3)
  EXPECT_EQ(t->Attribute(2).DataType, 8);
  EXPECT_EQ(t->Attribute(3).DataType, dataaccess::dtObject);
  EXPECT_EQ(t->Attribute(4).DataType, dataaccess::dtArray);
  EXPECT_EQ(t->Attribute(5).DataType, dataaccess::dtTable);
  EXPECT_EQ(t->Attribute(6).DataType, dataaccess::dtReference);
  EXPECT_EQ(t->Attribute(6).ObjectType(), t.get());

  // Pointers take 8 bytes here; NUMBER 22 bytes unaligned; DATE 8 bytes on a 2-byte boundary; the
  // final ADDRESS_T (two text pointers) is embedded.
  const int offsets[] = {0, 8, 30, 40, 56, 64, 72};
  const int indOffsets[] = {2, 4, 6, 8, 14, 16, 18};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(t->Layout(i).Offset, offsets[i]) << t->Attribute(i).Name;
    EXPECT_EQ(t->Layout(i).IndOffset, indOffsets[i]) << t->Attribute(i).Name;
  }
  EXPECT_EQ(t->DataSize(), 80);
  EXPECT_EQ(t->IndicatorSize(), 20);

  auto* lines = static_cast<TOraType*>(t->Attribute(5).ObjectType());
  ASSERT_EQ(lines->AttributeCount(), 1);
  EXPECT_EQ(lines->Attribute(0).Name, "ELEMENT");
  EXPECT_EQ(lines->AttrType(0)->Name, "SCOTT.LINE_T");
  EXPECT_EQ(lines->AttrType(0)->Attribute(1).DataType, 5);  // NUMBER(10,2)
  auto* phones = static_cast<TOraType*>(t->Attribute(4).ObjectType());
  EXPECT_EQ(phones->Size, 5);
}

// An embedded object of pointer size is still held in place, not taken for a pointer.
TEST_F(ObjectTypesTest, EmbeddedObjectOfPointerSizeIsReadInPlace) {
  fake.addType(FakeType{"SCOTT", "TAG_T", OCI_TYPECODE_OBJECT, 0, true, {text("V", 10)}});
  fake.addType(
      FakeType{"SCOTT", "WRAP_T", OCI_TYPECODE_OBJECT, 0, true, {named("INNER", "TAG_T"), text("W", 5)}});
  Held<TOraObject> o(new TOraObject());
  o->AllocObject(fake.svc(), "SCOTT.WRAP_T");
  const TOraType& t = *o->OraType();
  EXPECT_TRUE(t.Layout(0).Embedded);
  EXPECT_EQ(t.Layout(0).DataSize, int32_t(sizeof(void*)));
  EXPECT_EQ(t.Layout(1).IndOffset, 6);
  o->SetAttrAsString("INNER.V", "red");
  o->SetAttrAsString("W", "blue");
  EXPECT_EQ(o->AttrAsString("INNER.V"), "red");
  EXPECT_EQ(o->AttrAsString("W"), "blue");
}

TEST_F(ObjectTypesTest, CacheFindsTypePerServiceContext) {
  Held<TOraType> a(TObjectTypes::GetType(fake.svc(), "SCOTT.ADDRESS_T"));
  const int described = fake.describes;
  Held<TOraType> b(TObjectTypes::GetType(fake.svc(), " scott.address_t "));
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(fake.describes, described);
  EXPECT_EQ(TObjectTypes::FindType(fake.svc(), "scott.ADDRESS_T"), a.get());
  Held<TOraType> c(TObjectTypes::GetType(fake.svc2(), "SCOTT.ADDRESS_T"));
  EXPECT_NE(a.get(), c.get());
  EXPECT_EQ(fake.describes, described + 1);
}

// A second description of a cached type refers to itself, not to the first one, which may go first.
TEST_F(ObjectTypesTest, TypeReferringToItsOwnNameHoldsItself) {
  TOraType* first = TObjectTypes::GetType(fake.svc(), "SCOTT.PERSON_T");
  Held<TOraType> second(TOraType::Create(fake.svc(), "SCOTT.PERSON_T"));
  first->Release();
  EXPECT_EQ(second->Attribute(6).ObjectType(), second.get());
  EXPECT_EQ(second->AttrType(6)->Name, "SCOTT.PERSON_T");
}

// A type still held after its session ended is never found again for a later session.
TEST_F(ObjectTypesTest, ClearedSessionTypesAreNoLongerFound) {
  Held<TOraType> held(TObjectTypes::GetType(fake.svc(), "SCOTT.PERSON_T"));
  Held<TOraType> other(TObjectTypes::GetType(fake.svc2(), "SCOTT.ADDRESS_T"));
  TObjectTypes::ClearTypes(fake.svc());
  EXPECT_EQ(TObjectTypes::FindType(fake.svc(), "SCOTT.PERSON_T"), nullptr);
  EXPECT_EQ(held->SvcCtx(), nullptr);
  EXPECT_EQ(held->AttributeCount(), 0);
  EXPECT_EQ(TObjectTypes::FindType(fake.svc2(), "SCOTT.ADDRESS_T"), other.get());
  Held<TOraObject> o(new TOraObject(held.get()));
  EXPECT_THROW(o->AllocObject(), std::runtime_error);
}

TEST_F(ObjectTypesTest, CachedTypeIsSharedAcrossThreads) {
  Held<TOraType> held(TObjectTypes::GetType(fake.svc(), "SCOTT.PERSON_T"));
  const int described = fake.describes;
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        TOraType* type = TObjectTypes::GetType(fake.svc(), "scott.person_t");
        EXPECT_EQ(type, held.get());
        EXPECT_EQ(TObjectTypes::FindType(fake.svc(), "SCOTT.ADDRESS_T")->Name, "SCOTT.ADDRESS_T");
        type->Release();
      }
    });
  threads.clear();
  EXPECT_EQ(fake.describes, described);
  EXPECT_EQ(held->RefCount(), 1);
}

// One thread describes a kept type again after each change of client environment while another
// searches the cache: the cache reads what the description writes only under its lock (the
// thread sanitizer build shows a slip), and a search finds the kept type or nothing.
TEST_F(ObjectTypesTest, KeptTypeDescribedAgainWhileAnotherThreadSearchesTheCache) {
  Held<TOraType> address(TObjectTypes::GetType(fake.svc(), "SCOTT.ADDRESS_T"));
  Held<TOraType> other(TObjectTypes::GetType(fake.svc2(), "SCOTT.PHONE_LIST"));
  Held<TOraObject> kept(new TOraObject(address.get()));
  constexpr int rounds = 300;
  std::atomic<bool> describing{true};
  std::jthread searcher([&] {
    while (describing) {
      TOraType* found = TObjectTypes::FindType(fake.svc(), "scott.address_t");
      EXPECT_TRUE(found == nullptr || found == address.get());
      EXPECT_EQ(TObjectTypes::FindType(fake.svc(), "SCOTT.NOPE"), nullptr);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    ++OCIEnvironmentGeneration;
    kept->FreeObject();
    kept->SetSvcCtx(fake.svc());
    kept->AllocObject();
  }
  describing = false;
  searcher.join();
  EXPECT_EQ(TObjectTypes::FindType(fake.svc(), "SCOTT.ADDRESS_T"), address.get());
  EXPECT_EQ(address->AttributeCount(), 2);
}

// Threads take and let go of a type no one else holds, so that one often finds it in the cache
// just as another drops its last reference: the finder gets a live type (that one, or one
// described afresh), never an error.
TEST_F(ObjectTypesTest, TypeFoundAsItsLastHolderLetsGoIsNeverAnError) {
  const int before = TObjectTypes::Count();
  std::atomic<int> failures = 0;
  std::string firstFailure;
  std::mutex failureLock;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) {
          try {
            TObjectTypes::GetType(fake.svc(), "SCOTT.ADDRESS_T")->Release();
          } catch (const std::exception& e) {
            if (failures++ == 0) {
              std::lock_guard guard(failureLock);
              firstFailure = e.what();
            }
          }
        }
      });
  }
  EXPECT_EQ(failures, 0) << firstFailure;
  EXPECT_EQ(TObjectTypes::Count(), before);
}

// A type enters the cache before it is described, so that types referring to each other find one
// another on the describing thread; another thread looking for it then gets it whole (it waits
// for none: it describes one of its own meanwhile), never the half the description has reached.
TEST_F(ObjectTypesTest, OtherThreadsFindATypeOnlyOnceItIsDescribed) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        TOraType* type = TObjectTypes::GetType(fake.svc(), "SCOTT.LINE_T");
        ASSERT_EQ(type->AttributeCount(), 3);
        EXPECT_EQ(type->AttrType(2)->Name, "SCOTT.PHONE_LIST");
        EXPECT_EQ(type->DataSize(), 56);
        type->Release();
      }
    });
}

// Types that refer to each other are described together on one thread: the one met second is
// done while the first still gains attributes. Another thread finding the second one in that moment
// must not reach the first, half described, through it.
TEST_F(ObjectTypesTest, ATypeReferringBackToOneStillBeingDescribedIsNotHandedToOtherThreads) {
  fake.addType(
      FakeType{"SCOTT",
               "DEPT_T",
               OCI_TYPECODE_OBJECT,
               0,
               true,
               {number("DEPTNO", 4), named("MGR", "EMP_T", 110), text("LOC", 13), number("BUDGET", 9)}});
  fake.addType(FakeType{
      "SCOTT", "EMP_T", OCI_TYPECODE_OBJECT, 0, true, {number("EMPNO", 6), named("DEPT", "DEPT_T", 110)}});

  // The description of DEPT_T reaching LOC (EMP_T is described by then) lets another thread look.
  static std::function<void()> atLoc;
  static sword (*inner)(const void*, ub4, void*, ub4*, ub4, void*) = nullptr;
  static TOraObjectCalls fakeCalls, calls;
  fakeCalls = calls = ObjectCalls();
  inner = calls.AttrGet;
  calls.AttrGet = [](const void* handle, ub4 type, void* attribute, ub4* size, ub4 attr, void* err) {
    const sword status = inner(handle, type, attribute, size, attr, err);
    if (status == OCI_SUCCESS && attr == OCI_ATTR_NAME && size && *size == 3 &&
        std::memcmp(*static_cast<const char* const*>(attribute), "LOC", 3) == 0 && atLoc)
      std::exchange(atLoc, nullptr)();
    return status;
  };
  SetObjectCalls(&calls);
  platform::ScopeExit restore([] { SetObjectCalls(&fakeCalls); });

  int seenAttributes = -1;
  atLoc = [&] {
    std::jthread([&] {
      Held<TOraType> emp(TObjectTypes::GetType(fake.svc(), "SCOTT.EMP_T"));
      seenAttributes = emp->AttrType(1)->AttributeCount();
    }).join();
  };
  Held<TOraType> dept(TObjectTypes::GetType(fake.svc(), "SCOTT.DEPT_T"));
  EXPECT_EQ(atLoc, nullptr);
  EXPECT_EQ(seenAttributes, 4);
  EXPECT_EQ(dept->AttributeCount(), 4);
}

// Threads that each need a kept type after another Oracle home (an object of it allocated, a REF
// of it bound) at the same moment: one describes it again, the others take that description.
TEST_F(ObjectTypesTest, AKeptTypeNeededByThreadsAtOnceIsDescribedAgainByOne) {
  Held<TOraType> address(TObjectTypes::GetType(fake.svc(), "SCOTT.ADDRESS_T"));
  for (int round = 0; round < 200; ++round) {
    ++OCIEnvironmentGeneration;
    const int described = fake.describes;
    std::latch start(3);
    {
      std::vector<std::jthread> threads;
      for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
          start.arrive_and_wait();
          address->DescribeIfStale(fake.svc());
          EXPECT_EQ(address->AttributeCount(), 2);
        });
    }
    ASSERT_EQ(fake.describes, described + 1) << "round " << round;
    ASSERT_FALSE(address->Stale());
    ASSERT_EQ(address->Layout(1).Offset, 8);
  }
  // A description that fails before it begins leaves the type to the next thread that needs it.
  ++OCIEnvironmentGeneration;
  EXPECT_THROW(address->DescribeIfStale(nullptr), std::runtime_error);
  std::jthread([&] { address->DescribeIfStale(fake.svc()); }).join();
  EXPECT_FALSE(address->Stale());
}

// Threads allocate objects of a kept type, every other object taking the type's session and the
// rest given the session first, while another thread changes the client environment again and
// again and now and then describes the type anew itself: an object either gets the session the
// type is described on and an instance, or is refused with a clear error while the type waits for
// its new description; and however often the type turns stale during a description, one thread
// at a time describes it (two at once would free each other's attributes).
TEST_F(ObjectTypesTest, ObjectsOfATypeAreAllocatedWhileAnotherThreadDescribesItAgain) {
  Held<TOraType> phones(TObjectTypes::GetType(fake.svc(), "SCOTT.PHONE_LIST"));
  std::atomic<bool> switching = true;
  std::atomic<int> allocated = 0, refused = 0;
  std::mutex messagesLock;
  std::vector<std::string> wrong;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 5000; ++i) {
          Held<TOraObject> object(new TOraObject(phones.get()));
          if (i % 2 == 1) object->SetSvcCtx(fake.svc());
          std::string outcome;
          try {
            object->AllocObject();
            if (object->SvcCtx() == fake.svc() && object->Instance() && object->Indicator())
              ++allocated;
            else
              outcome = "allocated without the type's session";
          } catch (const std::exception& e) {
            outcome = e.what();
            if (outcome == SSvcCtxNotDefined || outcome.starts_with("ORA-")) ++refused, outcome.clear();
          }
          if (!outcome.empty()) {
            std::lock_guard guard(messagesLock);
            wrong.push_back(outcome);
          }
        }
      });
    std::jthread switcher([&] {
      for (int round = 0; switching; ++round) {
        ++OCIEnvironmentGeneration;
        if (round % 4 == 0) phones->DescribeIfStale(fake.svc());
        std::this_thread::yield();
      }
    });
    threads.clear();
    switching = false;
  }
  EXPECT_TRUE(wrong.empty()) << wrong.front();
  EXPECT_GT(allocated, 0);
  EXPECT_EQ(allocated + refused, 20000);
  phones->DescribeIfStale(fake.svc());
  EXPECT_FALSE(phones->Stale());
  EXPECT_EQ(phones->AttributeCount(), 1);
}

// A type kept across another Oracle home still names the service context it was described on, which
// a session of the new client may have at the same address. That session ending while another
// thread describes the kept type again on its own session must leave the new description whole.
TEST_F(ObjectTypesTest, ASessionEndingAtTheAddressAKeptTypeNamesLeavesItsNewDescriptionAlone) {
  Held<TOraType> address(TObjectTypes::GetType(fake.svc(), "SCOTT.ADDRESS_T"));
  void* from = fake.svc();
  void* to = fake.svc2();
  for (int round = 0; round < 2000; ++round) {
    ++OCIEnvironmentGeneration;
    std::latch start(2);
    {
      std::jthread describer([&] {
        start.arrive_and_wait();
        address->DescribeIfStale(to);
      });
      std::jthread ending([&] {
        start.arrive_and_wait();
        TObjectTypes::ClearTypes(from);
      });
    }
    ASSERT_FALSE(address->Stale()) << "round " << round;
    ASSERT_EQ(address->SvcCtx(), to) << "round " << round;
    ASSERT_EQ(address->AttributeCount(), 2) << "round " << round;
    std::swap(from, to);
  }
}

TEST_F(ObjectTypesTest, UnknownOrDamagedTypeDescriptionIsAnErrorAndLeavesNothingCached) {
  const int before = TObjectTypes::Count();
  try {
    TOraType::Create(fake.svc(), "SCOTT.NOPE");
    FAIL();
  } catch (const EOraError& e) {
    EXPECT_NE(std::string(e.what()).find("ORA-04043"), std::string::npos);
  }
  FakeType bad{"SCOTT", "BAD_T", OCI_TYPECODE_OBJECT, 0, true, {FakeAttr{"X", 999, 1}}};
  fake.addType(bad);
  EXPECT_THROW(TOraType::Create(fake.svc(), "SCOTT.BAD_T"), dataaccess::EDAAssertionFailed);
  FakeType self{"SCOTT", "SELF_T", OCI_TYPECODE_OBJECT, 0, true, {named("ME", "SELF_T")}};
  fake.addType(self);
  EXPECT_THROW(TOraType::Create(fake.svc(), "SCOTT.SELF_T"), dataaccess::EDAAssertionFailed);
  FakeType coll{"SCOTT", "ODD_LIST", OCI_TYPECODE_NAMEDCOLLECTION, 7};
  coll.element = text("", 3);
  fake.addType(coll);
  EXPECT_THROW(TOraType::Create(fake.svc(), "SCOTT.ODD_LIST"), dataaccess::EDAAssertionFailed);
  FakeType stamp{"SCOTT", "STAMP_T", OCI_TYPECODE_OBJECT, 0, true, {FakeAttr{"AT", 187, 11}}};
  fake.addType(stamp);
  try {
    TOraType::Create(fake.svc(), "SCOTT.STAMP_T");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Data type is not supported.");
  }
  EXPECT_EQ(TObjectTypes::Count(), before);
  EXPECT_THROW(TOraType::Create(nullptr, "SCOTT.ADDRESS_T"), std::runtime_error);
}

TEST_F(ObjectTypesTest, AttributesAreWrittenAndReadBackByPath) {
  Held<TOraObject> o(newPerson());
  EXPECT_TRUE(o->AttrIsNull("NAME"));
  o->SetAttrAsString("name", "Ada");
  o->SetAttrAsInteger("AGE", 36);
  o->SetAttrAsDateTime("BORN", dataset::DateTime{-30000.5});
  o->SetAttrAsString("ADDR.CITY", "London");
  o->SetAttrAsString("PHONES[0]", "555-1");
  o->SetAttrAsString("PHONES[1]", "555-2");
  o->SetAttrAsInteger("ORDERS[0].QTY", 4);
  o->SetAttrAsFloat("ORDERS[0].PRICE", 12.5);
  o->SetAttrAsString("ORDERS[0].TAGS[0]", "urgent");
  o->SetAttrAsInteger("ORDERS[1].QTY", 9);

  EXPECT_EQ(o->AttrAsString("NAME"), "Ada");
  EXPECT_EQ(o->AttrAsInteger("AGE"), 36);
  EXPECT_EQ(o->AttrAsDateTime("BORN").days, -30000.5);
  EXPECT_EQ(o->AttrAsString("ADDR.CITY"), "London");
  EXPECT_TRUE(o->AttrIsNull("ADDR.STREET"));
  EXPECT_EQ(o->AttrAsString("PHONES[1]"), "555-2");
  EXPECT_EQ(o->AttrAsInteger("ORDERS[0].QTY"), 4);
  EXPECT_EQ(o->AttrAsFloat("ORDERS[0].PRICE"), 12.5);
  EXPECT_EQ(o->AttrAsString("orders[0].tags[0]"), "urgent");
  EXPECT_EQ(o->AttrAsInteger("ORDERS[1]QTY"), 9);
  EXPECT_TRUE(o->AttrIsNull("ORDERS[1].PRICE"));

  Held<TOraObject> addr(o->AttrAsObject("ADDR"));
  EXPECT_EQ(addr->AttrAsString("CITY"), "London");
  addr->SetAttrAsString("STREET", "Baker St");
  EXPECT_EQ(o->AttrAsString("ADDR.STREET"), "Baker St");
  Held<TOraArray> phones(o->AttrAsArray("PHONES"));
  EXPECT_EQ(phones->Size(), 2);
  EXPECT_EQ(phones->ItemAsString(0), "555-1");
  Held<TOraArray> orders(o->AttrAsArray("ORDERS"));
  ASSERT_NE(dynamic_cast<TOraNestTable*>(orders.get()), nullptr);
  Held<TOraObject> line(orders->ItemAsObject(1));
  EXPECT_EQ(line->AttrAsInteger("QTY"), 9);
  Held<TOraObject> sameLine(o->AttrAsObject("ORDERS[1]"));
  EXPECT_EQ(sameLine->Instance(), line->Instance());
  EXPECT_THROW(o->AttrAsObject("NAME"), std::runtime_error);
  EXPECT_THROW(o->AttrAsArray("ADDR"), std::runtime_error);
  EXPECT_THROW(phones->ItemAsObject(0), std::runtime_error);

  o->SetAttrIsNull("ADDR", true);
  EXPECT_TRUE(o->AttrIsNull("ADDR.CITY"));
  o->SetAttributeValue("AGE", dataaccess::Variant::null());
  EXPECT_TRUE(o->AttrIsNull("AGE"));
}

TEST_F(ObjectTypesTest, BadPathsAndIndexesGiveClearErrors) {
  Held<TOraObject> o(newPerson());
  o->SetAttrAsString("PHONES[0]", "1");
  auto message = [&](auto&& call) {
    try {
      call();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  for (const char* path : {"NOPE", "NAME.X", "NAME[0]", "PHONES[", "PHONES[x]", "PHONES[]", "ADDR.NOPE", ""})
    EXPECT_EQ(message([&] { o->AttrAsString(path); }), "Invalid attribute name") << path;
  EXPECT_EQ(message([&] { o->AttrAsString("PHONES[1]"); }), SInvalidIndex);
  EXPECT_EQ(message([&] { o->SetAttrAsString("PHONES[3]", "x"); }), SInvalidIndex);
  EXPECT_EQ(message([&] { o->AttrAsString("PHONES[99999999999]"); }), "Invalid attribute name");
  EXPECT_EQ(message([&] { o->AttrAsInteger("NAME"); }), "Cannot convert type to OCINumber");

  Held<TOraObject> empty(new TOraObject());
  EXPECT_EQ(message([&] { empty->AttrAsString("NAME"); }), "Type of object must be defined");
  Held<TOraType> t(TObjectTypes::GetType(fake.svc(), "SCOTT.PERSON_T"));
  Held<TOraObject> unallocated(new TOraObject(t.get()));
  EXPECT_EQ(message([&] { unallocated->AttrAsString("NAME"); }), "Object is not allocated");
  unallocated->AutoCreate = true;
  EXPECT_TRUE(unallocated->AttrIsNull("NAME"));
}

TEST_F(ObjectTypesTest, ArraysAndNestedTablesHoldTheirElements) {
  Held<TOraType> phones(TObjectTypes::GetType(fake.svc(), "SCOTT.PHONE_LIST"));
  Held<TOraArray> a(new TOraArray(phones.get()));
  a->AllocObject();
  EXPECT_EQ(a->Size(), 0);
  a->SetItemValue(0, dataaccess::Variant("one"));
  EXPECT_EQ(a->AppendItem(), 1);
  EXPECT_TRUE(a->ItemIsNull(1));
  a->SetItemValue(1, dataaccess::Variant("two"));
  EXPECT_EQ(a->Size(), 2);
  EXPECT_EQ(a->ItemAsString(1), "two");
  EXPECT_THROW(a->ItemAsString(2), std::runtime_error);
  EXPECT_THROW(a->ItemAsString(-1), std::runtime_error);
  try {
    a->ItemAsInteger(0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot convert type to Integer");
  }
  Held<TOraNestTable> wrong(new TOraNestTable(phones.get()));
  try {
    wrong->AllocObject();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Type of object must be Table");
  }

  Held<TOraType> lines(TObjectTypes::GetType(fake.svc(), "SCOTT.LINE_TAB"));
  Held<TOraNestTable> t(new TOraNestTable(lines.get()));
  t->AllocObject();
  for (int i = 0; i < 3; ++i) t->SetAttrAsInteger("[" + std::to_string(i) + "].QTY", i * 10);
  t->DeleteItem(1);
  EXPECT_EQ(t->Size(), 2);
  EXPECT_EQ(t->Next(-1), 0);
  EXPECT_EQ(t->Next(0), 2);
  EXPECT_EQ(t->Next(2), -1);
  EXPECT_EQ(t->AttrAsInteger("[2].QTY"), 20);
  EXPECT_THROW(t->AttrAsInteger("[1].QTY"), std::runtime_error);  // deleted
  EXPECT_THROW(t->DeleteItem(1), EOraError);
}

TEST_F(ObjectTypesTest, RefIsPinnedAndFollowed) {
  Held<TOraObject> boss(newPerson());
  boss->SetAttrAsString("NAME", "Grace");
  Held<TOraType> t(TObjectTypes::GetType(fake.svc(), "SCOTT.PERSON_T"));
  Held<TOraRef> ref(new TOraRef(t.get()));
  EXPECT_TRUE(ref->RefIsNull());
  EXPECT_THROW(ref->Pin(), dataaccess::EDAAssertionFailed);
  *ref->RefPtr() = fake.refTo(boss->Instance());
  ref->SetSvcCtx(fake.svc());
  EXPECT_FALSE(ref->RefIsNull());
  ref->Pin();
  EXPECT_EQ(ref->AttrAsString("NAME"), "Grace");
  ref->SetAttrAsString("ADDR.CITY", "Arlington");
  ref->Flush();
  EXPECT_EQ(fake.flushes, 1);
  EXPECT_EQ(boss->AttrAsString("ADDR.CITY"), "Arlington");
  EXPECT_EQ(ref->AsHex().size(), 16u);
  ref->Unpin();
  EXPECT_EQ(fake.unpins, 1);
  ref->Clear();
  EXPECT_TRUE(ref->RefIsNull());
}

TEST_F(ObjectTypesTest, AssignCopiesTheInstance) {
  Held<TOraObject> a(newPerson());
  a->SetAttrAsString("NAME", "Ada");
  a->SetAttrAsInteger("AGE", 36);
  Held<TOraType> t(TObjectTypes::GetType(fake.svc(), "SCOTT.PERSON_T"));
  Held<TOraObject> b(new TOraObject(t.get()));
  b->SetSvcCtx(fake.svc());
  b->Assign(*a.get());
  EXPECT_EQ(b->AttrAsInteger("AGE"), 36);
}

TEST_F(ObjectTypesTest, ObjectParametersHoldTheirValueObjects) {
  TOraParam untyped;
  TOraNestTable* table = untyped.GetNestedTable();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(untyped.DataType, dataset::ftDataSet);
  EXPECT_EQ(untyped.GetArray(), table);
  EXPECT_EQ(untyped.GetObject(), table);

  TOraParam number;
  number.SetDataType(dataset::ftInteger);
  EXPECT_EQ(number.GetNestedTable(), nullptr);
  EXPECT_EQ(number.GetObject(), nullptr);

  TOraParam xml;
  xml.SetDataType(dataaccess::ftXML);
  EXPECT_TRUE(xml.IsNull());
  xml.SetAsString("<a>1</a>");
  EXPECT_EQ(xml.GetAsString(), "<a>1</a>");
  EXPECT_EQ(xml.GetValue(), dataset::Variant("<a>1</a>"));
  xml.Clear();
  EXPECT_TRUE(xml.IsNull());

  TOraParam person;
  TOraObject* o = person.GetObject();
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(person.DataType, dataset::ftADT);
  o->AllocObject(fake.svc(), "SCOTT.PERSON_T");
  o->SetAttrAsString("ADDR.CITY", "Paris");
  EXPECT_EQ(person.GetObject()->AttrAsString("ADDR.CITY"), "Paris");
  person.ReleaseObject();
  EXPECT_EQ(o->Instance(), nullptr);
  EXPECT_EQ(o->ObjectType(), nullptr);
  person.SetDataType(dataset::ftReference);
  EXPECT_NE(dynamic_cast<TOraRef*>(person.GetObject()), nullptr);
}

// The elements of a nested table as records: read, changed, added and deleted through the store.
TEST_F(ObjectTypesTest, TableDataShowsElementsAsRecordsAndWritesEditsBack) {
  FakeType nums{"SCOTT", "NUM_TAB", OCI_TYPECODE_NAMEDCOLLECTION, OCI_TYPECODE_TABLE};
  nums.element = number("", 5);
  fake.addType(nums);
  Held<TOraType> type(TObjectTypes::GetType(fake.svc(), "SCOTT.NUM_TAB"));
  Held<TOraNestTable> table(new TOraNestTable(type.get()));
  table->AllocObject();
  for (int i = 0; i < 4; ++i) table->SetItemValue(i, dataaccess::Variant(int32_t(i * 10)));
  table->DeleteItem(1);

  auto* data = new TTableData();
  std::unique_ptr<TTableData> owner(data);
  data->SetTable(table.get());
  data->Open();
  EXPECT_EQ(data->GetRecordCount(), 3);
  ASSERT_EQ(data->Fields[0].Name, "ELEMENT");
  uint8_t* rec = data->AllocRecBuf();
  platform::ScopeExit freeRec([rec] { dataaccess::TData::FreeRecBuf(rec); });
  std::vector<int32_t> seen;
  data->SetToBegin();
  for (data->GetNextRecord(rec); !data->Eof(); data->GetNextRecord(rec))
    seen.push_back(data->GetFieldAsVariant(1, rec).asInt32());
  EXPECT_EQ(seen, (std::vector<int32_t>{0, 20, 30}));

  data->SetToBegin();
  data->GetNextRecord(rec);
  data->GetNextRecord(rec);  // element 2 (20)
  data->PutFieldAsVariant(1, rec, dataaccess::Variant(int32_t(21)));
  data->UpdateRecord(rec);
  EXPECT_EQ(table->ItemAsInteger(2), 21);

  data->PutFieldAsVariant(1, rec, dataaccess::Variant(int32_t(99)));
  data->AppendRecord(rec);
  EXPECT_EQ(table->Size(), 4);
  EXPECT_EQ(table->ItemAsInteger(4), 99);

  data->SetToBegin();
  data->GetNextRecord(rec);  // element 0
  data->DeleteRecord();
  EXPECT_EQ(table->Size(), 3);
  EXPECT_EQ(table->Next(-1), 2);
  data->Close();
}

TEST_F(ObjectTypesTest, NestedTableDatasetEditsTheCollection) {
  TOraNestedTable unbound;
  EXPECT_FALSE(unbound.CanModify());
  try {
    unbound.Open();
    FAIL();
  } catch (const dataset::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Missing DataSetField property");
  }

  Held<TOraType> type(TObjectTypes::GetType(fake.svc(), "SCOTT.PHONE_LIST"));
  Held<TOraArray> phones(new TOraArray(type.get()));
  phones->AllocObject();
  phones->SetItemValue(0, dataaccess::Variant("555-1"));
  phones->SetItemValue(1, dataaccess::Variant("555-2"));

  TOraNestedTable ds;
  ds.SetTable(phones.get());
  ds.Open();
  EXPECT_TRUE(ds.CanModify());
  std::vector<std::string> seen;
  for (ds.First(); !ds.Eof(); ds.Next()) seen.push_back(ds.FieldByName("ELEMENT").AsString());
  EXPECT_EQ(seen, (std::vector<std::string>{"555-1", "555-2"}));

  ds.First();
  ds.Edit();
  ds.FieldByName("ELEMENT").SetValue(dataaccess::Variant("555-9"));
  ds.Post();
  EXPECT_EQ(phones->ItemAsString(0), "555-9");
  ds.Append();
  ds.FieldByName("ELEMENT").SetValue(dataaccess::Variant("555-3"));
  ds.Post();
  EXPECT_EQ(phones->Size(), 3);
  EXPECT_EQ(phones->ItemAsString(2), "555-3");

  // Another collection replaces the rows of the open dataset.
  Held<TOraArray> other(new TOraArray(type.get()));
  other->AllocObject();
  other->SetItemValue(0, dataaccess::Variant("x"));
  ds.SetTable(other.get());
  EXPECT_TRUE(ds.Active());
  ds.First();
  EXPECT_EQ(ds.FieldByName("ELEMENT").AsString(), "x");
  ds.Close();
}

TEST_F(ObjectTypesTest, RefDataShowsTheReferencedObjectAsOneRecord) {
  Held<TOraObject> boss(newPerson());
  boss->SetAttrAsString("NAME", "Grace");
  boss->SetAttrAsString("PHONES[0]", "555-0");
  Held<TOraType> t(TObjectTypes::GetType(fake.svc(), "SCOTT.PERSON_T"));
  Held<TOraRef> ref(new TOraRef(t.get()));
  ref->SetSvcCtx(fake.svc());

  TRefData none;
  EXPECT_THROW(none.Open(), std::runtime_error);

  TRefData data;
  data.SetRef(ref.get());
  data.Open();  // a null REF: no record
  uint8_t* rec = data.AllocRecBuf();
  platform::ScopeExit freeRec([rec] { dataaccess::TData::FreeRecBuf(rec); });
  data.GetNextRecord(rec);
  EXPECT_TRUE(data.Eof());
  data.Close();

  *ref->RefPtr() = fake.refTo(boss->Instance());
  data.Open();
  data.SetToBegin();
  data.GetNextRecord(rec);
  ASSERT_FALSE(data.Eof());
  EXPECT_EQ(data.Fields[0].Name, "REF");
  EXPECT_TRUE(data.Fields[0].Required);
  const int name = data.FieldByName("REF.NAME").FieldNo;
  EXPECT_EQ(data.GetFieldAsVariant(name, rec), dataaccess::Variant("Grace"));
  EXPECT_EQ(data.GetFieldAsVariant(data.FieldByName("REF.PHONES[0]").FieldNo, rec),
            dataaccess::Variant("555-0"));
  EXPECT_TRUE(data.GetNull(data.FieldByName("REF.PHONES[3]").FieldNo, rec));
  EXPECT_TRUE(data.GetNull(data.FieldByName("REF.ADDR").FieldNo, rec));

  data.PutFieldAsVariant(data.FieldByName("REF.ADDR.CITY").FieldNo, rec, dataaccess::Variant("Arlington"));
  data.UpdateRecord(rec);
  EXPECT_EQ(fake.flushes, 1);
  EXPECT_EQ(boss->AttrAsString("ADDR.CITY"), "Arlington");
  data.GetNextRecord(rec);
  EXPECT_TRUE(data.Eof());
  data.Close();
  EXPECT_EQ(fake.unpins, 1);
}

}  // namespace
}  // namespace oracle
