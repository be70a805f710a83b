// The volume-analyzer controller: every factory asked once in order, the
// first analyzer that recognises the volume answers, analyzers live and die
// with the controller.
#include "volume/VolumeAnalyzeController.h"

#include <gtest/gtest.h>

#include "engine/device/DeviceTestSupport.h"

namespace {

std::string calls;  // the types of the factories asked, in order
int alive = 0;

class FakeAnalyzer final : public IVolumeAnalyze {
 public:
  explicit FakeAnalyzer(int type) : type_(static_cast<enumFILE_SYSTEM_TYPE>(type)) { ++alive; }
  ~FakeAnalyzer() override { --alive; }
  enumFILE_SYSTEM_TYPE GetFileSystemType() override { return type_; }
  uint64_t GetTotalSector() override { return 0; }
  void GetLabel(char*, int) override {}

 private:
  enumFILE_SYSTEM_TYPE type_;
};

devicetest::CMemoryDevice device({}, 512, 100);

// Makes an analyzer of `Type` (9: it does not recognise the volume; none
// for -1) of the volume at sector 63 of `device`.
template <int Type>
IVolumeAnalyze* Factory(IStorageDevice* on, uint64_t start) {
  calls += std::to_string(Type) + " ";
  EXPECT_EQ(on, &device);
  EXPECT_EQ(start, 63u);
  return Type < 0 ? nullptr : new FakeAnalyzer(Type);
}

TEST(VolumeAnalyzeController, AsksEveryFactoryOnceInOrderAndTheFirstThatRecognisesAnswers) {
  const struct {
    std::vector<VolumeAnalyzerFactory> factories;
    const char* asked;
    int answer;  // -1: none
  } cases[] = {{{&Factory<9>, &Factory<-1>, &Factory<3>, &Factory<8>, nullptr}, "9 -1 3 8 ", 3},
               {{&Factory<7>, &Factory<2>}, "7 2 ", 7},
               {{&Factory<-1>, &Factory<9>}, "-1 9 ", -1},
               {{}, "", -1}};
  for (const auto& c : cases) {
    calls.clear();
    {
      CVolumeAnalyzeController controller(&device, 63, c.factories);
      EXPECT_EQ(alive, static_cast<int>(controller.RegisteredCount()));
      IVolumeAnalyze* a = controller.GetVolumeAnzlyzer();
      EXPECT_EQ(a != nullptr ? a->GetFileSystemType() : -1, c.answer) << calls;
      EXPECT_EQ(controller.GetVolumeAnzlyzer(), a);  // asking again makes nothing new
      EXPECT_EQ(calls, c.asked);
    }
    EXPECT_EQ(alive, 0);
  }
}

TEST(VolumeAnalyzeController, FindsNoFileSystemOnAnEmptyVolume) {
  devicetest::CMemoryDevice zeros(std::vector<uint8_t>(64 * 512, 0), 512, 64);
  IVolumeAnalyzeController* c = CreateVolumeAnalyzeController(&zeros, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->GetVolumeAnzlyzer(), nullptr);
  c->Release();
}

}  // namespace
