#include "session/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "session/format.h"
#include "support/test_support.h"

namespace vexdaq {
namespace {

TEST(Log, WithoutAnOpenLogPrintsNothingAndCreatesNothing) {
  EXPECT_EQ(log_print(LogLevel::kEntry, "hello\r\n"), -1);
  EXPECT_EQ(log_print(LogLevel::kContinue, "hello\r\n"), -1);
  EXPECT_FALSE(std::filesystem::exists("log"));
}

TEST(Log, FirstLineNamesTheBuild) {
  log_open();
  log_close();
  const auto files = testing::log_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0].filename().string(), std::regex(R"(usbio_\d{14}\.txt)")));
  const std::string log = testing::read_log();
  const std::regex first(
      R"(\d{14} - Build at : [A-Z][a-z]{2} [ 1-3]\d \d{4} \d\d:\d\d:\d\d; BULK Transfers\r\r\n)");
  EXPECT_TRUE(std::regex_match(log, first)) << log;
}

TEST(Log, LevelZeroContinuesTheLineAndLineFeedsBecomeCrLf) {
  log_open();
  log_print(LogLevel::kEntry, "In Sample rate  : ");
  log_print(LogLevel::kContinue, "%d ", 1000);
  log_print(LogLevel::kContinue, "%d ", 2000);
  log_print(LogLevel::kContinue, "\r\n");
  log_print(LogLevel::kEntry, "GET_DRIVER_INFO failed, status = 0x%08X.\n", 0xE000100Au);
  log_close();
  const std::string log = testing::read_log();
  const std::regex lines(R"(.*\r\r\n\d{14} - In Sample rate  : 1000 2000 \r\r\n)"
                         R"(\d{14} - GET_DRIVER_INFO failed, status = 0xE000100A\.\r\n)");
  EXPECT_TRUE(std::regex_match(log, lines)) << log;
}

TEST(Log, LongMessagesAreWrittenWhole) {
  log_open();
  const std::string big(100000, 'x');
  log_print(LogLevel::kEntry, "%s\r\n", big.c_str());
  log_close();
  EXPECT_NE(testing::read_log().find(big + "\r\r\n"), std::string::npos);
}

TEST(Log, ReopeningKeepsTheEarlierFile) {
  log_open();
  log_print(LogLevel::kEntry, "first session\r\n");
  log_close();
  log_open();
  log_close();
  // Within one second or across a boundary: two files, the newest without the first session's
  // lines, the earlier one with them.
  const auto files = testing::log_files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(testing::read_log().find("first session"), std::string::npos);
  std::ifstream first(files.front(), std::ios::binary);
  const std::string earlier((std::istreambuf_iterator<char>(first)),
                            std::istreambuf_iterator<char>());
  EXPECT_NE(earlier.find("first session"), std::string::npos);
}

TEST(Log, WhenTheFileCannotBeCreatedTheLibraryRunsWithoutALog) {
  { std::ofstream blocker("log"); }  // a file where the directory should be
  log_open();
  EXPECT_FALSE(log_is_open());
  EXPECT_EQ(log_print(LogLevel::kEntry, "x\r\n"), -1);
  log_close();
}

TEST(Log, AChosenDirectoryIsCreatedWithItsParentsAndTheDefaultComesBack) {
  ASSERT_TRUE(set_log_directory("state/vexdaq/logs"));
  log_open();
  log_close();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("state/vexdaq/logs"),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_FALSE(set_log_directory(std::string(kMaxLogDirectoryBytes + 1, 'd').c_str()));
  ASSERT_TRUE(set_log_directory(nullptr));
  log_open();
  log_close();
  EXPECT_EQ(testing::log_files().size(), 1u);  // back under log/
}

TEST(Format, PointersAreUpperCaseAndPaddedToPointerWidth) {
  char text[64];
  const auto *p = reinterpret_cast<const void *>(uintptr_t{0xABC});
  ASSERT_GT(format_text(text, sizeof text, "(0x%p)", p), 0);
  EXPECT_EQ(std::string(text), "(0x" + std::string(2 * sizeof(void *) - 3, '0') + "ABC)");
  format_text(text, sizeof text, "%p", nullptr);
  EXPECT_EQ(std::string(text), std::string(2 * sizeof(void *), '0'));
}

TEST(Format, LongConversionsTakeThirtyTwoBitsEverywhere) {
  char text[64];
  format_text(text, sizeof text, "%ld %lx %lld", int64_t{0x100000005}, uint64_t{0x1FFFFFFFF},
              int64_t{-5000000000});
  EXPECT_STREQ(text, "5 ffffffff -5000000000");
  format_text(text, sizeof text, "0x%.8X %.2x %d", 0xE000100Au, 7, -3);
  EXPECT_STREQ(text, "0xE000100A 07 -3");
}

TEST(Format, WideStringsBecomeUtf8) {
  char text[64];
  format_text(text, sizeof text, "%ws|%s", u"\\\\?\\usb#v\u00e9", "abc");
  EXPECT_STREQ(text, "\\\\?\\usb#v\xC3\xA9|abc");
}

TEST(Format, TruncatesTerminatesAndReportsTheWholeLength) {
  char text[4] = {'z', 'z', 'z', 'z'};
  EXPECT_EQ(format_text(text, 4, "%d.%d.%s", 5, 0, "17d11d6"), 11);
  EXPECT_STREQ(text, "5.0");
  char one = 'z';
  EXPECT_EQ(format_text(&one, 1, "abc"), 3);
  EXPECT_EQ(one, '\0');
  EXPECT_EQ(format_text(nullptr, 0, "abc"), 3);
  EXPECT_EQ(format_text(nullptr, 5, "abc"), -1);
}

TEST(Format, MalformedFormatFails) {
  char text[16];
  EXPECT_EQ(format_text(text, sizeof text, "%"), -1);
  EXPECT_EQ(format_text(text, sizeof text, "%q"), -1);
  EXPECT_EQ(format_text(text, sizeof text, nullptr), -1);
}

TEST(Format, MissingArgumentsPrintAsZeroOrEmpty) {
  char text[32];
  format_text(text, sizeof text, "%d|%s|", 0);
  EXPECT_STREQ(text, "0||");
}

}  // namespace
}  // namespace vexdaq
