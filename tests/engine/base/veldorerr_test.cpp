#include "engine/base/veldorerr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/oserror.h"

namespace engine {
namespace {

EVELDOREngineError raised(uint16_t code, std::string_view table = {}, std::string_view index = {},
                          std::string_view field = {}, std::string_view text = {}) {
  try {
    SignalEngineError(code, "srv", "usr", "db", table, field, index, text);
  } catch (const EVELDOREngineError& e) {
    return e;
  }
  ADD_FAILURE() << "SignalEngineError returned";
  return EVELDOREngineError(0, 0, 0, {}, "");
}

TEST(EngineErrorMessages, ItemsFillTheTextInItsOrderAndCodesWithoutTextAreUnknownErrors) {
  const EVELDOREngineError e = raised(VELDOR_KEYVIOL, "task", "ByName");
  EXPECT_EQ(e.ErrorCode(), 9729);
  EXPECT_EQ(e.ErrorText(), "Duplicate key found in the index 'ByName' of the table 'task'");
  EXPECT_STREQ(e.what(),
               "VELDOR Engine Error # 9729 Duplicate key found in the index 'ByName' of the table 'task'");
  EXPECT_EQ(e.Item(kItemServer), "srv");
  EXPECT_EQ(e.Item(9), "");
  for (uint16_t code : {uint16_t(VELDOR_REMOTECALLBACK), uint16_t(0), uint16_t(0x1234)}) {
    EXPECT_EQ(raised(code, "t").ErrorText(), "An unknown error occurred") << code;
  }
}

TEST(EngineErrorMessages, UnknownOsErrorShowsOnlyTheTableWhileItem7HoldsTheNumber) {
  platform::setLastOsError(5);
  const EVELDOREngineError e = raised(VELDOR_OSUNKNOWN, "t.dat");
  EXPECT_EQ(e.ErrorText(), "An unknown operating system error occurred with the table 't.dat'");
  EXPECT_EQ(e.OSError(), 5u);
  EXPECT_EQ(GetEngineErrorItem(kItemOSError), "5");
  platform::setLastSocketError(10054);
  raised(VELDOR_REMOTECOMMLOST);
  EXPECT_EQ(GetEngineErrorItem(kItemSocketError), "10054");
  platform::setLastOsError(0);
  platform::setLastSocketError(0);
}

TEST(EngineErrorMessages, LongItemsAreCutTo255AndMessagesTo254NeverSplittingACharacter) {
  const std::string longName(300, 'n');
  const EVELDOREngineError e = raised(VELDOR_TABLEOPEN, longName);
  EXPECT_EQ(GetEngineErrorItem(kItemTable).size(), 255u);
  EXPECT_EQ(e.Item(kItemTable).size(), 255u);
  EXPECT_EQ(e.ErrorText().size(), 254u);
  char buffer[kEngineMessageMax + 1];
  std::memset(buffer, 'x', sizeof buffer);
  GetEngineErrorMessage(VELDOR_TABLEOPEN, buffer);
  EXPECT_EQ(std::strlen(buffer), 254u);
  std::string name(254, 'a');
  name += "\xC3\xA9";  // e-acute straddles the 255th byte
  raised(VELDOR_OSENOENT, name);
  EXPECT_EQ(GetEngineErrorItem(kItemTable), std::string(254, 'a'));
}

TEST(EngineErrorContext, ARaiseReplacesEveryItemAndClearEmptiesThem) {
  raised(VELDOR_INVALIDFILTER, "t1", "", "", "bad filter");
  EXPECT_EQ(GetEngineErrorMessage(VELDOR_INVALIDFILTER), "Filter error for the table 't1' - bad filter");
  EXPECT_EQ(GetEngineErrorCode(), VELDOR_INVALIDFILTER);
  EXPECT_EQ(raised(VELDOR_NOTINITIALIZED).ErrorText(), "The database engine is not initialized");
  EXPECT_EQ(GetEngineErrorItem(kItemText), "");
  SetEngineErrorContext(VELDOR_KEYVIOL, 3, 4, "a", "b", "c", "d", "e", "f", "g");
  ClearEngineErrorContext();
  EXPECT_EQ(GetEngineErrorCode(), 0);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(GetEngineErrorItem(i), "") << i;
  EXPECT_EQ(GetEngineErrorItem(kItemOSError), "0");
  EXPECT_NO_THROW(RaiseEngineErrorIfSet(0));
  SetEngineErrorContext(VELDOR_EOF, 0, 0, "", "", "", "t", "", "", "");
  EXPECT_THROW(RaiseEngineErrorIfSet(VELDOR_EOF), EVELDOREngineError);
}

// Two threads raising at once must each get their own table name back.
TEST(EngineErrorContext, ThreadsNeverSeeEachOthersTexts) {
  auto worker = [](std::string table, int& mismatches) {
    for (int i = 0; i < 2000; ++i) {
      try {
        SignalTableError(VELDOR_RECLOCKFAILED, table);
      } catch (const EVELDOREngineError& e) {
        if (e.Item(kItemTable) != table || e.ErrorText().find(table) == std::string::npos) ++mismatches;
      }
    }
  };
  int bad1 = 0, bad2 = 0;
  {
    std::jthread a(worker, "alpha", std::ref(bad1));
    std::jthread b(worker, "beta", std::ref(bad2));
  }
  EXPECT_EQ(bad1, 0);
  EXPECT_EQ(bad2, 0);
}

}  // namespace
}  // namespace engine
