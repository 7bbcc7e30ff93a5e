// Runs every test case in a fresh temporary working directory, so the log files a case writes
// under log/ are its own, and removes the directory afterwards.
#include <gtest/gtest.h>

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
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new TemporaryDirectoryPerTest);
  return RUN_ALL_TESTS();
}
