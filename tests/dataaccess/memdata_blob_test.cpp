#include "dataaccess/memdata_blob.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>

#include "dataaccess/daconsts.h"
#include "tests/dataaccess/dataaccess_testing.h"

namespace dataaccess {
namespace {

// Line-break rewrites on whole texts, in units of `unit` bytes; a stray last byte stays.
std::string rewriteModel(const std::string& s, size_t unit, bool expand) {
  auto at = [&](size_t i) { return unit == 1 ? s[i] : (s[i + 1] == 0 ? s[i] : '\xff'); };
  const std::string cr = unit == 1 ? "\r" : std::string("\r\0", 2),
                    lf = unit == 1 ? "\n" : std::string("\n\0", 2);
  std::string out;
  size_t i = 0;
  for (; i + unit <= s.size(); i += unit) {
    const char c = at(i);
    const bool prevCR = i >= unit && at(i - unit) == '\r';
    const bool nextLF = i + 2 * unit <= s.size() && at(i + unit) == '\n';
    if (expand && c == '\n' && !prevCR) out += cr;
    if (!expand && c == '\r' && nextLF) continue;
    out += s.substr(i, unit);
  }
  return out + s.substr(i);
}

struct Blob {
  explicit Blob(bool unicode) : blob(new TBlob(unicode)) {}
  ~Blob() { blob->Release(); }
  TBlob* blob;
};

// The chain is well linked and owned, and the blob reads back as `model`.
void checkBlob(TBlob& blob, const std::string& model) {
  ASSERT_EQ(blob.GetSize(), model.size());
  std::string all(model.size(), '\0');
  ASSERT_EQ(blob.Read(0, 0, all.data()), model.size());
  ASSERT_EQ(all, model);
  PPieceHeader prev = nullptr;
  for (PPieceHeader p = blob.FirstPiece(); p; prev = p, p = p->Next) {
    ASSERT_EQ(p->Blob, &blob);
    ASSERT_EQ(p->Prev, prev);
    ASSERT_LE(p->Used, p->Size);
  }
}

TEST(TBlobTest, RandomEditsMatchAStringModelWithCommitAndCancel) {
  const uint32_t seed = dataaccess_testing::testSeed();
  std::mt19937 rng(seed);
  auto below = [&](uint64_t n) { return n == 0 ? 0 : uint64_t(rng() % n); };
  for (int run = 0; run < 40; ++run) {
    DefaultPieceSize = uint32_t(2 + below(20));
    const bool unicode = run % 2 == 1;
    Blob holder(unicode);
    TBlob& blob = *holder.blob;
    std::string model;
    std::optional<std::string> rollback;
    auto change = [&] {
      if (blob.Cached() && !rollback) rollback = model;
    };
    for (int step = 0; step < 300; ++step) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " run " + std::to_string(run) + " step " +
                   std::to_string(step));
      const uint64_t size = model.size();
      switch (below(12)) {
        case 0:
        case 1:
        case 2: {
          const uint64_t pos = below(size + 6);
          std::string data(below(3 * DefaultPieceSize), '\0');
          for (char& c : data) c = "ab\r\n\0"[below(5)];
          change();
          blob.Write(pos, data.size(), data.data());
          if (pos > model.size()) model.resize(pos, '\0');
          model.replace(pos, data.size(), data);
          break;
        }
        case 3: {
          const uint64_t pos = below(size + 3), count = below(size + 3);
          std::string got(size + 3, '?');
          got.resize(blob.Read(pos, count, got.data()));
          ASSERT_EQ(got, pos >= size ? "" : model.substr(pos, count == 0 ? std::string::npos : count));
          break;
        }
        case 4: {
          const uint64_t n = below(size + 3);
          change();
          blob.Truncate(n);
          if (n < size) model.resize(n);
          break;
        }
        case 5:
          if (below(4) == 0) {
            change();
            blob.Clear();
            model.clear();
          } else {
            blob.Compress();
          }
          break;
        case 6:
          blob.EnableRollback();
          break;
        case 7:
          blob.Commit();
          rollback.reset();
          break;
        case 8:
          blob.Cancel();
          if (rollback) model = *rollback;
          rollback.reset();
          break;
        case 9:
          blob.ExpandLineFeeds();
          model = rewriteModel(model, unicode ? 2 : 1, true);
          break;
        case 10:
          blob.CollapseLineBreaks();
          model = rewriteModel(model, unicode ? 2 : 1, false);
          break;
        case 11: {
          std::stringstream stream;
          blob.SaveToStream(stream);
          ASSERT_EQ(stream.str(), model);
          change();
          blob.LoadFromStream(stream);
          break;
        }
      }
      checkBlob(blob, model);
      ASSERT_EQ(blob.Rollback() != nullptr, rollback.has_value());
      if (rollback) checkBlob(*blob.Rollback(), *rollback);
    }
  }
  DefaultPieceSize = kDefaultPieceSize;
}

TEST(TBlobTest, TextKindAndPiecesFollowTheBlobsForm) {
  Blob ansi(false);
  const std::string big(100000, 'x');
  ansi.blob->SetAsString(big);
  PPieceHeader first = ansi.blob->FirstPiece();
  EXPECT_EQ(first->Used, 65514u);
  EXPECT_EQ(first->Next->Used, 34486u);
  EXPECT_THROW(ansi.blob->SetIsUnicode(true), EMemDataError);

  Blob wide(false);
  wide.blob->SetIsUnicode(true);
  wide.blob->SetAsString("\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(wide.blob->GetSize(), 6u);
  EXPECT_EQ(wide.blob->AsWideString(), u"\u00e9t\u00e9");
  EXPECT_EQ(wide.blob->AsString(), "\xc3\xa9t\xc3\xa9");
  wide.blob->Write(6, 1, "x");
  EXPECT_THROW(wide.blob->AsWideString(), EDAAssertionFailed);
}

// A registry may still reach an object whose last reference went: no reference is taken of it
// then, while a live one gains one as AddRef gives it.
TEST(TSharedObjectTest, NoReferenceIsTakenOnceTheLastOneIsGone) {
  struct Probe : TSharedObject {
    explicit Probe(std::optional<bool>& taken) : taken(taken) {}
    ~Probe() override { taken = TryAddRef(); }
    std::optional<bool>& taken;
  };
  std::optional<bool> takenWhileGoing;
  auto* probe = new Probe(takenWhileGoing);
  EXPECT_TRUE(probe->TryAddRef());
  EXPECT_EQ(probe->RefCount(), 2);
  probe->Release();
  EXPECT_FALSE(takenWhileGoing.has_value());
  probe->Release();
  EXPECT_EQ(takenWhileGoing, false);
}

TEST(TObjectTypeTest, PathsDescendThroughObjectsAndElementsAndSelfReferencesHoldNoCycle) {
  auto* order = new TObjectType();
  order->Name = "ORDER_T";
  auto* addr = new TObjectType();
  addr->Name = "ADDR_T";
  addr->AddAttribute().Name = "CITY";
  auto* lines = new TObjectType();
  lines->Name = "LINES_T";
  lines->DataType = dtArray;
  auto* line = new TObjectType();
  line->Name = "LINE_T";
  line->AddAttribute().Name = "QTY";
  TAttribute& element = lines->AddAttribute();
  element.Name = "ELEMENT";
  element.DataType = dtObject;
  element.SetObjectType(line);
  for (auto [name, type] : {std::pair{"ADDR", addr}, {"LINES", lines}, {"NEXT", order}}) {
    TAttribute& a = order->AddAttribute();
    a.Name = name;
    a.DataType = type == lines ? dtArray : dtReference;
    a.SetObjectType(type);
  }
  TAttribute& scalar = order->AddAttribute();
  scalar.Name = "NOTE";
  EXPECT_EQ(order->RefCount(), 1);  // NEXT refers to its own type
  EXPECT_EQ(addr->RefCount(), 2);

  EXPECT_EQ(order->FindAttribute("addr.city"), &addr->Attribute(0));
  EXPECT_EQ(order->FindAttribute("LINES[3].QTY"), &line->Attribute(0));
  EXPECT_EQ(order->FindAttribute("NEXT.NEXT.ADDR"), &order->Attribute(0));
  EXPECT_EQ(order->FindAttribute("NOTE.X"), nullptr);
  EXPECT_EQ(order->FindAttribute("ADDR.ZIP"), nullptr);
  try {
    order->AttributeByName("ADDR.ZIP");
    FAIL();
  } catch (const EMemDataError& e) {
    EXPECT_STREQ(e.what(), "Attribute ADDR.ZIP not found.");
  }
  addr->Release();
  lines->Release();
  line->Release();
  order->Release();  // frees every type; the leak checker sees the rest
}

}  // namespace
}  // namespace dataaccess
