// Runs the libusb tests when umockdev's preload library is in place (umockdev-wrapper), each case
// in a fresh temporary working directory; without it they are skipped (exit 77), since libusb
// would otherwise look at the machine's real USB devices.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class TemporaryDirectoryPerTest : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo &) override {
    previous_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "vexdaq-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    directory_ = pattern;
    std::filesystem::current_path(directory_);
  }
  void OnTestEnd(const ::testing::TestInfo &) override {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path directory_;
};

}  // namespace

int main(int argc, char **argv) {
  const char *preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::string(preload).find("libumockdev-preload") == std::string::npos) {
    std::printf("not under umockdev-wrapper: the libusb tests are skipped\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new TemporaryDirectoryPerTest);
  return RUN_ALL_TESTS();
}
