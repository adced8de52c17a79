// PL/SQL table binding of Oracle parameters and the older stored form of the parameters.
#include "oracle/ora_params.h"

#include <gtest/gtest.h>

#include "dataset/dberror.h"

namespace oracle {
namespace {

namespace ds = dataset;

TEST(OraParamTest, LengthTurnsAValueIntoAnArrayAndBack) {
  TOraParam param;
  param.SetAsInteger(5);
  param.SetLength(3);
  EXPECT_EQ(param.GetLength(), 3);
  EXPECT_EQ(param.Value().asArray()[0].asInt32(), 5);
  param.SetItemValue(4, ds::Variant(int32_t(7)));
  EXPECT_EQ(param.GetLength(), 4);
  EXPECT_THROW(param.SetItemValue(0, ds::Variant(int32_t(1))), std::out_of_range);
  param.SetLength(1);
  EXPECT_EQ(param.Value().asInt32(), 5);
  EXPECT_EQ(param.GetSize(), 0);
}

TEST(OraParamTest, OnlyTableTypesBindAsTablesOrArrays) {
  TOraParam param;
  param.Name = "P";
  EXPECT_THROW(param.SetLength(2), ds::EDatabaseError);
  param.SetDataType(ds::ftBlob);
  EXPECT_THROW(param.SetTable(true), std::runtime_error);
  EXPECT_FALSE(param.GetTable());
  EXPECT_THROW(param.SetLength(2), std::runtime_error);
  param.SetDataType(ds::ftDateTime);
  param.SetTable(true);
  EXPECT_TRUE(param.GetTable());
}

TEST(OraParamTest, ANumberKeepsEveryDigitOfItsText) {
  TOraParam param;
  param.SetDataType(dataaccess::ftNumber);
  EXPECT_TRUE(param.IsNull());
  param.SetAsString("12345678901234567890123456789012345678");
  EXPECT_EQ(param.GetAsString(), "12345678901234567890123456789012345678");
  param.SetAsString("2.5");
  EXPECT_DOUBLE_EQ(param.GetAsFloat(), 2.5);
  param.SetDataType(ds::ftCursor);
  EXPECT_EQ(param.GetNumber(), nullptr);
  EXPECT_NE(param.GetCursor(), nullptr);
  param.SetDataType(ds::ftCursor);
  EXPECT_NE(param.GetCursor(), nullptr);
}

std::vector<uint8_t> record(const std::string& name, uint16_t dataType, std::vector<uint8_t> rest) {
  // Built from the name first: g++ 12 at -O2 and above warns falsely (-Warray-bounds) on a range
  // inserted after a one-element initializer list.
  std::vector<uint8_t> bytes(name.begin(), name.end());
  bytes.insert(bytes.begin(), uint8_t(name.size()));
  bytes.push_back(uint8_t(dataType));
  bytes.push_back(uint8_t(dataType >> 8));
  bytes.insert(bytes.end(), rest.begin(), rest.end());
  return bytes;
}

TEST(OraParamTest, LobAndFileParametersHoldTheirOwnObjects) {
  TOraParam untyped;
  ASSERT_NE(untyped.GetLob(), nullptr);
  EXPECT_EQ(untyped.DataType, ds::ftOraClob);
  EXPECT_EQ(untyped.GetFile(), nullptr);
  untyped.GetLob()->SetAsString("text");
  EXPECT_EQ(untyped.GetAsString(), "text");
  untyped.SetDataType(ds::ftBlob);  // a plain blob again
  EXPECT_EQ(dynamic_cast<TOraLob*>(untyped.ValueObject()), nullptr);
  TOraParam file;
  ASSERT_NE(file.GetFile(), nullptr);
  EXPECT_EQ(file.DataType, dataaccess::ftBFile);
  EXPECT_EQ(file.GetLob(), file.GetFile());
  TOraParam number;
  number.SetAsInteger(1);
  EXPECT_EQ(number.GetLob(), nullptr);
  EXPECT_EQ(number.DataType, ds::ftInteger);
}

TEST(OraParamTest, AFixedWideTextFieldGivesAFixedWideParameter) {
  ds::WideStringField fixed;
  fixed.FixedChar = true;
  TOraParam param;
  param.AssignFieldValue(fixed, ds::Variant(std::u16string(u"ab")));
  EXPECT_EQ(param.DataType, dataaccess::ftFixedWideChar);
  EXPECT_EQ(param.GetAsString(), "ab");
  param.AssignFieldValue(fixed, ds::Variant::null());
  EXPECT_TRUE(param.IsNull());
  ds::WideStringField plain;
  param.AssignFieldValue(plain, ds::Variant(std::u16string(u"c")));
  EXPECT_EQ(param.DataType, ds::ftWideString);
}

TEST(OraParamsTest, DataSetsTypesValuesAndFromVersionTwoDirections) {
  // An integer 7, then an unknown name holding a string, both as output parameters.
  std::vector<uint8_t> data{2, 2, 0};
  const auto a = record("A", 4, {4, 0, 7, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2});
  const auto b = record("NONE", 1, {10, 0, 0, 0, 2, 0, 'h', 'i', 0, 0, 1, 0, 0, 0, 2});
  data.insert(data.end(), a.begin(), a.end());
  data.insert(data.end(), b.begin(), b.end());
  TOraParams params;
  params.CreateParam(ds::ftUnknown, "A", ds::ptInput);
  params.ReadData(data);
  EXPECT_EQ(params.Items(0).DataType, ds::ftInteger);
  EXPECT_EQ(params.Items(0).GetAsInteger(), 7);
  EXPECT_EQ(params.Items(0).ParamType_, ds::ptOutput);
  data[0] = 1;
  data.pop_back();  // version 1 records have no direction
  params.Items(0).ParamType_ = ds::ptInput;
  EXPECT_THROW(params.ReadData(data), ds::EDatabaseError);  // the second record now ends early
  EXPECT_EQ(params.Items(0).ParamType_, ds::ptInput);
}

TEST(OraParamsTest, DataRefusesAValueLongerThanItsBuffer) {
  std::vector<uint8_t> data{1, 1, 0};
  const auto a = record("S", 1, {0, 1, 0, 0, 0xFF, 0xFF});
  data.insert(data.end(), a.begin(), a.end());
  data.resize(data.size() + 0xFFFF + 6);
  TOraParams params;
  EXPECT_THROW(params.ReadData(data), ds::EDatabaseError);
}

}  // namespace
}  // namespace oracle
