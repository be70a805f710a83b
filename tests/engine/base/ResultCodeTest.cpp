#include "ResultCode.h"

#include <gtest/gtest.h>

namespace {

using namespace result;

// Every quoted code is compared with what the devices and scan drivers answer
// in their own tests; here, the layout and the success rule.
TEST(ResultCode, FieldsPackAsQuotedAndOnlyTheTopByteDecidesSuccess) {
  for (const auto& [literal, module, line, error] :
       {std::tuple{0x010E008800000001ULL, kModuleStorageDevice, 0x88, kErrIO},
        std::tuple{0x0104003C00000403ULL, kModuleScanDriver, 0x3C, kErrScanBadRange}}) {
    EXPECT_EQ(MakeResult(module, line, error), literal);
    EXPECT_TRUE(IsFailure(literal));
    EXPECT_EQ(std::make_tuple(Module(literal), Line(literal), Error(literal)), std::make_tuple(module, line, error));
  }
  for (ResultCode success : {0x0ULL, 0x00FFFFFFFFFFFFFFULL, 0xD03ULL}) EXPECT_TRUE(IsSuccess(success));
  for (ResultCode failure : {0x0100000000000000ULL, 0xFF00000000000000ULL}) EXPECT_FALSE(IsSuccess(failure));
  const ResultCode c = RESULT_FAILURE(kModuleCopyOut, kErrShortWrite);
  EXPECT_EQ(Line(c), __LINE__ - 1);
  EXPECT_EQ(Module(c), kModuleCopyOut);
  EXPECT_EQ(Error(c), 0xD03u);
}

}  // namespace
