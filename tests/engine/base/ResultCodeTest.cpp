#include "ResultCode.h"

#include <gtest/gtest.h>

namespace {

using namespace result;

// Every quoted code is compared with what the devices and scan drivers answer
// in their own tests, which also read its fields; here, the success rule and
// the line a failure records.
TEST(ResultCode, OnlyTheTopByteDecidesSuccessAndAFailureRecordsItsLine) {
  for (ResultCode success : {0x0ULL, 0x00FFFFFFFFFFFFFFULL, 0xD03ULL}) EXPECT_TRUE(IsSuccess(success));
  for (ResultCode failure : {0x0100000000000000ULL, 0xFF00000000000000ULL}) EXPECT_FALSE(IsSuccess(failure));
  const ResultCode c = RESULT_FAILURE(kModuleCopyOut, kErrShortWrite);
  EXPECT_TRUE(IsFailure(c));
  EXPECT_EQ(Line(c), __LINE__ - 2);
  EXPECT_EQ(Error(c), 0xD03u);
}

}  // namespace
