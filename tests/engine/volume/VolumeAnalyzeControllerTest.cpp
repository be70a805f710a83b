// The volume-analyzer controller: every factory asked once in order, the
// first analyzer that recognises the volume answers, analyzers live and die
// with the controller.
#include "volume/VolumeAnalyzeController.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/device/DeviceTestSupport.h"

namespace {

std::vector<std::string> calls;
int alive = 0;

class FakeAnalyzer final : public IVolumeAnalyze {
 public:
  FakeAnalyzer(enumFILE_SYSTEM_TYPE type, const char* label) : type_(type), label_(label) { ++alive; }
  ~FakeAnalyzer() override { --alive; }
  enumFILE_SYSTEM_TYPE GetFileSystemType() override { return type_; }
  uint64_t GetTotalSector() override { return 1234; }
  void GetLabel(char* buffer, int size) override {
    if (size < 1) return;
    std::strncpy(buffer, label_, static_cast<size_t>(size - 1));
    buffer[size - 1] = '\0';
  }

 private:
  enumFILE_SYSTEM_TYPE type_;
  const char* label_;
};

IStorageDevice* seenDevice = nullptr;
uint64_t seenStart = 0;

// A factory that records its call and makes an analyzer of `Type` (none for
// a negative type).
template <int Type>
IVolumeAnalyze* Factory(IStorageDevice* device, uint64_t start) {
  calls.push_back(std::to_string(Type));
  seenDevice = device;
  seenStart = start;
  if (Type < 0) return nullptr;
  return new FakeAnalyzer(static_cast<enumFILE_SYSTEM_TYPE>(Type), Type == 3 ? "NTFS VOL" : "OTHER");
}

class Controller : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    alive = 0;
  }
  devicetest::CMemoryDevice device_{{}, 512, 100};
};

TEST_F(Controller, AsksEveryFactoryOnceInOrderAndKeepsWhatIsMade) {
  {
    CVolumeAnalyzeController c(&device_, 63, {&Factory<9>, &Factory<-1>, &Factory<3>, &Factory<8>});
    EXPECT_EQ(calls, (std::vector<std::string>{"9", "-1", "3", "8"}));
    EXPECT_EQ(seenDevice, &device_);
    EXPECT_EQ(seenStart, 63u);
    EXPECT_EQ(c.RegisteredCount(), 3u);
    EXPECT_EQ(alive, 3);
    IVolumeAnalyze* a = c.GetVolumeAnzlyzer();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetFileSystemType(), FILE_SYSTEM_TYPE_NTFS);  // the unknown one before it is passed over
    char label[100];
    a->GetLabel(label, sizeof label);
    EXPECT_STREQ(label, "NTFS VOL");
    EXPECT_EQ(c.GetVolumeAnzlyzer(), a);  // asking again makes nothing new
    EXPECT_EQ(alive, 3);
  }
  EXPECT_EQ(alive, 0);
}

TEST_F(Controller, TheEarlierOfTwoAcceptingAnalyzersWins) {
  CVolumeAnalyzeController c(&device_, 0, {&Factory<7>, &Factory<2>});
  ASSERT_NE(c.GetVolumeAnzlyzer(), nullptr);
  EXPECT_EQ(c.GetVolumeAnzlyzer()->GetFileSystemType(), FILE_SYSTEM_TYPE_EXFAT);
}

TEST_F(Controller, NothingRecognisedGivesNoAnalyzer) {
  CVolumeAnalyzeController none(&device_, 0, {&Factory<-1>, &Factory<-1>});
  EXPECT_EQ(none.GetVolumeAnzlyzer(), nullptr);
  CVolumeAnalyzeController unknown(&device_, 0, {&Factory<9>, nullptr});
  EXPECT_EQ(unknown.GetVolumeAnzlyzer(), nullptr);
  CVolumeAnalyzeController empty(&device_, 0, {});
  EXPECT_EQ(empty.GetVolumeAnzlyzer(), nullptr);
}

TEST(VolumeAnalyzeControllerOrder, IsFatExfatNtfsHfsPlus) {
  const auto& order = CVolumeAnalyzeController::DefaultFactories();
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0], &CreateFatVolumeAnalyze);
  EXPECT_EQ(order[1], &CreateExfatVolumeAnalyze);
  EXPECT_EQ(order[2], &CreateNTFSVolumeAnalyze);
  EXPECT_EQ(order[3], &CreateHFSPlusVolumeAnalyze);
}

TEST(VolumeAnalyzeControllerOrder, AnEmptyVolumeIsOfNoKnownFileSystem) {
  devicetest::CMemoryDevice zeros(std::vector<uint8_t>(64 * 512, 0), 512, 64);
  IVolumeAnalyzeController* c = CreateVolumeAnalyzeController(&zeros, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->GetVolumeAnzlyzer(), nullptr);
  c->Release();
}

}  // namespace
