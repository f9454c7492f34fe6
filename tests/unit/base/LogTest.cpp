#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sov/base/FinalAction.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "tests/unit/TestSystem.h"

namespace fs = std::filesystem;

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zep-log-" + std::to_string(testsys::ProcessId()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    zlog::Shutdown();
    fs::remove_all(dir_);
  }
  static std::vector<std::string> Lines(const fs::path& p) {
    std::vector<std::string> out;
    std::ifstream in(p);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  fs::path dir_;
};

struct Widget {
  void Hello() { LOGI_(this) << "hello from widget"; }
};

TEST_F(LogTest, TextRecordCarriesSeverityFunctionLineAndMessage) {
  zlog::Init(0, dir_ / "vektaclient.log", 102400);
  LOGW << "careful " << 42;
  Widget().Hello();
  auto lines = Lines(dir_ / "vektaclient.log");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("WARN  ["), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("[LogTest_TextRecordCarriesSeverityFunctionLineAndMessage_Test::TestBody@"),
            std::string::npos)
      << lines[0];
  EXPECT_TRUE(lines[0].ends_with("] careful 42")) << lines[0];
  EXPECT_NE(lines[1].find("[Widget::Hello@"), std::string::npos) << lines[1];
}

TEST_F(LogTest, CsvFileStartsWithHeaderAndQuotesMessages) {
  zlog::Init(1, dir_ / "vektaclient.csv", 102400);
  Widget w;
  ZLOG_(1, zlog::Severity::Info, &w) << "say \"hi\"";
  auto lines = Lines(dir_ / "vektaclient.csv");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Date;Time;Severity;TID;This;Function;Message");
  std::ostringstream object;
  object << ";" << std::hex << std::setw(16) << std::setfill('0') << reinterpret_cast<uintptr_t>(&w) << ";";
  EXPECT_NE(lines[1].find(";INFO;"), std::string::npos);
  EXPECT_NE(lines[1].find(object.str()), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find(";\"say \"\"hi\"\"\""), std::string::npos) << lines[1];
  // Date;Time;Severity;TID;This;Function;Message: six separators before the message.
  EXPECT_EQ(std::count(lines[1].begin(), lines[1].begin() + lines[1].find('"'), ';'), 6);
}

TEST_F(LogTest, FunctionNameKeepsTemplateArgumentsWhole) {
  EXPECT_EQ(zlog::FunctionName("std::vector<int> ns::Foo<std::pair<int, int> >::Bar() const"),
            "ns::Foo<std::pair<int, int> >::Bar");
}

TEST_F(LogTest, RollsAtMinimumSizeAndKeepsTenFiles) {
  // A configured size below 1000 bytes rolls at 1000 bytes.
  zlog::Init(1, dir_ / "stats.csv", 10);
  const std::string payload(100, 'x');
  for (int i = 0; i < 400; ++i) ZLOG_(1, zlog::Severity::Info, nullptr) << payload;
  int files = 0;
  for (auto& entry : fs::directory_iterator(dir_)) {
    ++files;
    auto size = fs::file_size(entry.path());
    EXPECT_LE(size, 1000u) << entry.path();
    EXPECT_GT(size, 500u) << entry.path();
    EXPECT_EQ(Lines(entry.path()).at(0), "Date;Time;Severity;TID;This;Function;Message") << entry.path();
  }
  EXPECT_EQ(files, 10);
  EXPECT_TRUE(fs::exists(dir_ / "stats.csv"));
  EXPECT_TRUE(fs::exists(dir_ / "stats.9.csv"));
  EXPECT_FALSE(fs::exists(dir_ / "stats.10.csv"));
}

TEST_F(LogTest, AppendsToAnExistingFileWithoutSecondHeader) {
  zlog::Init(1, dir_ / "s.csv", 102400);
  ZLOG_(1, zlog::Severity::Info, nullptr) << "one";
  zlog::Shutdown();
  zlog::Init(1, dir_ / "s.csv", 102400);
  ZLOG_(1, zlog::Severity::Info, nullptr) << "two";
  auto lines = Lines(dir_ / "s.csv");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Date;Time;Severity;TID;This;Function;Message");
}

TEST_F(LogTest, RecordsBeforeSetUpOrIntoAnUnopenableFileAreDroppedSilently) {
  LOGE << "nobody listens";
  zlog::Init(0, dir_ / "missing-dir" / "x.log", 102400);
  EXPECT_NO_THROW(LOGE << "lost");
  // Logging never makes the folder it was given.
  EXPECT_FALSE(fs::exists(dir_ / "missing-dir"));
  zlog::Init(0, dir_ / "f.log", 102400, zlog::Severity::Warning);
  LOGI << "too chatty";
  LOGE << "kept";
  auto lines = Lines(dir_ / "f.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with("] kept")) << lines[0];
}

TEST_F(LogTest, FinalActionRunsOnceAndLogsWhatItsActionThrows) {
  zlog::Init(0, dir_ / "fa.log", 102400);
  int runs = 0;
  {
    auto guard = Finally([&] { ++runs; });
    auto dismissed = Finally([&] { runs += 10; });
    dismissed.Dismiss();
  }
  EXPECT_EQ(runs, 1);
  EXPECT_NO_THROW({ auto failing = Finally([] { throw ErrCodeException(5, "Clip.cpp", 3); }); });
  auto lines = Lines(dir_ / "fa.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("ERROR ["), std::string::npos);
  EXPECT_NE(lines[0].find("[FinalAction::~FinalAction@9] ~FinalAction: unhandled exception: Clip.cpp:3 class "
                          "ErrCodeException(errcode 5)"),
            std::string::npos)
      << lines[0];
}

TEST_F(LogTest, InterruptedThreadWritesOneInfoRecordAndReturnsZero) {
  zlog::Init(0, dir_ / "t.log", 102400);
  EXPECT_EQ(RunThreadProc("DrawMouseThreadProc", [] { throw InterruptQueueException("q.h", 1); }), 0);
  auto lines = Lines(dir_ / "t.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("INFO  ["), std::string::npos);
  EXPECT_NE(lines[0].find("[DrawMouseThreadProc@"), std::string::npos);
  EXPECT_TRUE(lines[0].ends_with("] DrawMouseThreadProc: thread interrupted")) << lines[0];
}

TEST_F(LogTest, UnexpectedThreadExceptionIsLoggedThenEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "fast");
  // On Windows the dying statement runs in a new process of this program, whose own SetUp
  // would pick another folder; the log's path reaches it through the environment.
  if (const char* inherited = std::getenv("ZEP_LOG_TEST_FATAL")) dir_ = fs::path(inherited);
  testsys::SetEnv("ZEP_LOG_TEST_FATAL", dir_.string().c_str());
  const fs::path log = dir_ / "fatal.log";
  EXPECT_EXIT(
      {
        zlog::Init(0, log, 102400);
        std::thread([] {
          RunThreadProc("VideoDecoderThreadProc", [] { throw ProtocolException("bad", "p.cpp", 4); });
        }).join();
      },
      ::testing::ExitedWithCode(kExitThreadFailure), "");
  // Something that is not a standard exception has no text to show.
  EXPECT_EXIT(
      {
        zlog::Init(0, log, 102400);
        RunThreadProc("StatisticsThreadProc", [] { throw 42; });
      },
      ::testing::ExitedWithCode(kExitThreadFailure), "");
  auto lines = Lines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("ERROR ["), std::string::npos);
  EXPECT_NE(lines[0].find("[VideoDecoderThreadProc@"), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(
      "] VideoDecoderThreadProc: unhandled exception: p.cpp:4 class ProtocolException; bad"))
      << lines[0];
  EXPECT_TRUE(lines[1].ends_with("] StatisticsThreadProc: unhandled exception: ")) << lines[1];
}

}  // namespace
