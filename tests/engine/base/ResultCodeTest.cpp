#include "ResultCode.h"

#include <gtest/gtest.h>

namespace {

using namespace result;

// Every literal code the storage devices and scan drivers answer, with the
// meaning given beside it: the named module and error constants must rebuild
// each one bit for bit.
TEST(ResultCode, NamedConstantsRebuildEveryQuotedCode) {
  const struct {
    ResultCode literal;
    uint8_t module;
    uint16_t line;
    uint32_t error;
  } quoted[] = {
      {0x010E004100000001, kModuleStorageDevice, 0x41, kErrIO},            // open failed
      {0x010E006900000007, kModuleStorageDevice, 0x69, kErrMissingData},   // no parent
      {0x010E007000000005, kModuleStorageDevice, 0x70, kErrBadArgument},   // null buffer
      {0x010E007900000005, kModuleStorageDevice, 0x79, kErrBadArgument},   // bad read args
      {0x010E008000000001, kModuleStorageDevice, 0x80, kErrIO},            // seek failed
      {0x010E008800000001, kModuleStorageDevice, 0x88, kErrIO},            // read failed
      {0x010E009600000005, kModuleStorageDevice, 0x96, kErrBadArgument},   // first out of range
      {0x010E009C00000005, kModuleStorageDevice, 0x9C, kErrBadArgument},   // count too big
      {0x010E00A200000003, kModuleStorageDevice, 0xA2, kErrNotSupported},  // IOCtl
      {0x010E00AC00000003, kModuleStorageDevice, 0xAC, kErrNotSupported},  // IOCtl (window)
      {0x0104003800000001, kModuleScanDriver, 0x38, kErrIO},
      {0x0104003C00000403, kModuleScanDriver, 0x3C, kErrScanBadRange},
      {0x0104004300000404, kModuleScanDriver, 0x43, kErrDeviceKindRefused},
      {0x0104004600000004, kModuleScanDriver, 0x46, kErrCreateFailed},
      {0x0104004800000004, kModuleScanDriver, 0x48, kErrCreateFailed},
      {0x0104004900000001, kModuleScanDriver, 0x49, kErrIO},
      {0x0104004B00000001, kModuleScanDriver, 0x4B, kErrIO},
      {0x0104005700000401, kModuleScanDriver, 0x57, kErrNoSearcherForFS},
      {0x0104006A00000402, kModuleScanDriver, 0x6A, kErrSearcherNotMade},
      {0x010400C800000005, kModuleScanDriver, 0xC8, kErrBadArgument},
      {0x010400CB00000403, kModuleScanDriver, 0xCB, kErrScanBadRange},
  };
  for (const auto& q : quoted) {
    SCOPED_TRACE(testing::Message() << std::hex << q.literal);
    EXPECT_EQ(MakeResult(q.module, q.line, q.error), q.literal);
    EXPECT_TRUE(IsFailure(q.literal));
    EXPECT_EQ(Module(q.literal), q.module);
    EXPECT_EQ(Line(q.literal), q.line);
    EXPECT_EQ(Error(q.literal), q.error);
  }
}

TEST(ResultCode, OnlyTheTopByteDecidesSuccessAndTheMacroRecordsTheLine) {
  for (ResultCode success : {0x0ULL, 0x00FFFFFFFFFFFFFFULL, 0xD03ULL}) EXPECT_TRUE(IsSuccess(success));
  for (ResultCode failure : {0x0100000000000000ULL, 0xFF00000000000000ULL}) EXPECT_FALSE(IsSuccess(failure));
  const ResultCode c = RESULT_FAILURE(kModuleCopyOut, kErrShortWrite);
  EXPECT_EQ(Line(c), __LINE__ - 1);
  EXPECT_EQ(Module(c), kModuleCopyOut);
  EXPECT_EQ(Error(c), 0xD03u);
}

}  // namespace
