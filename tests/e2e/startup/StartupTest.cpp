// Runs the built zep program headless and checks its exit codes and log lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* const kZep = ZEP_BINARY_DIR "/bin/zep";

class ZepProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zep-e2e-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "logs");
    WriteConfig("logger.applicationlog = " + (dir_ / "logs").string() + "\n");
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  void WriteConfig(const std::string& text) { std::ofstream(dir_ / "client-config.cfg") << text; }

  void Start(const std::vector<std::string>& args, const std::string& videoDriver = "offscreen") {
    std::vector<std::string> env = {"SDL_VIDEODRIVER=" + videoDriver,
                                    "SDL_AUDIODRIVER=dummy",
                                    "HOME=" + dir_.string(),
                                    "XDG_STATE_HOME=" + (dir_ / "state").string(),
                                    "XDG_DATA_HOME=" + (dir_ / "data").string(),
                                    "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                    "XDG_RUNTIME_DIR=" + dir_.string()};
    if (const char* path = getenv("PATH")) env.push_back(std::string("PATH=") + path);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv = {kZep};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argvp;
    for (auto& a : argv) argvp.push_back(a.data());
    argvp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    ASSERT_EQ(posix_spawn(&pid_, kZep, &actions, nullptr, argvp.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Exit code, or -1000 - signal number, or -1 on time-out.
  int Wait(std::chrono::seconds limit = 30s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return -1000 - WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

  std::string Log() const { return Read(dir_ / "logs" / "vektaclient.log"); }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool WaitForLog(const std::string& text, std::chrono::seconds limit = 30s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  // Runs until the window exists, then asks the client to quit as a desktop would.
  int RunUntilWindowThenTerminate() {
    EXPECT_TRUE(WaitForLog("Main window ")) << Log();
    kill(pid_, SIGTERM);
    return Wait();
  }

  fs::path dir_;
  pid_t pid_ = -1;
};

TEST_F(ZepProcess, DefaultsStartTheWindowAndExitZeroOnQuit) {
  Start({"127.0.0.2"});  // the session connects: only loopback is addressed
  EXPECT_EQ(RunUntilWindowThenTerminate(), 0);
  const std::string log = Log();
  EXPECT_NE(log.find("] Client Application Started\n"), std::string::npos) << log;
  EXPECT_NE(log.find("INFO  ["), std::string::npos);
  EXPECT_NE(log.find("Station 127.0.0.2 ports 7985..7990"), std::string::npos) << log;
  EXPECT_TRUE(fs::exists(dir_ / "logs" / "vektaclient.csv"));
  EXPECT_EQ(Read(dir_ / "logs" / "vektaclient.csv"), "Date;Time;Severity;TID;This;Function;Message\n");
  // A well-formed configuration file prints nothing.
  EXPECT_EQ(Read(dir_ / "stdout.txt"), "");
}

TEST_F(ZepProcess, AddressAndPortBlockFromTheCommandLine) {
  Start({"127.0.0.3", "--port", "9000", "--from-guid", "{00112233-4455-6677-8899-AABBCCDDEEFF}", "--foo"});
  EXPECT_EQ(RunUntilWindowThenTerminate(), 0);
  const std::string log = Log();
  EXPECT_NE(log.find("Station 127.0.0.3 ports 9000..9005, client 00112233-4455-6677-8899-aabbccddeeff"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ERROR ["), std::string::npos);
  EXPECT_NE(log.find("] unknown parameter --foo\n"), std::string::npos) << log;
}

TEST_F(ZepProcess, MissingTokenValueExitsOneBeforeAnyWindow) {
  Start({"10.0.0.5", "--token"});
  EXPECT_EQ(Wait(), 1);
  const std::string log = Log();
  // The start record comes first, then the complaint at error level.
  const auto firstEnd = log.find('\n');
  ASSERT_NE(firstEnd, std::string::npos) << log;
  EXPECT_TRUE(log.substr(0, firstEnd).ends_with("] Client Application Started")) << log;
  EXPECT_NE(log.find("ERROR [", firstEnd), std::string::npos) << log;
  EXPECT_NE(log.find("] Specify token value please\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Main window"), std::string::npos) << log;
}

TEST_F(ZepProcess, BadPortValueExitsOneBeforeAnyWindow) {
  for (const char* port : {"abc", "0", "65531"}) {
    SCOPED_TRACE(port);
    fs::remove(dir_ / "logs" / "vektaclient.log");
    Start({"10.0.0.5", "--Port", port});
    EXPECT_EQ(Wait(), 1);
    const std::string log = Log();
    EXPECT_NE(log.find("] Specify port value please\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Main window"), std::string::npos) << log;
  }
}

TEST_F(ZepProcess, LogFilesRollAtTheConfiguredSizeRaisedToAThousandBytes) {
  WriteConfig("logger.applicationlog = " + (dir_ / "logs").string() + "\nlogger.Max_Log_File_Size = 10\n");
  constexpr int kRuns = 15;  // two records each, well over 1000 bytes together
  for (int i = 0; i < kRuns; ++i) {
    Start({"10.0.0.5", "--token"});
    ASSERT_EQ(Wait(), 1);
  }
  EXPECT_TRUE(fs::exists(dir_ / "logs" / "vektaclient.1.log"));
  int started = 0;
  for (const auto& entry : fs::directory_iterator(dir_ / "logs")) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(".log")) continue;
    EXPECT_LE(fs::file_size(entry.path()), 1000u) << name;
    // Roughly full: a file rolls only when the next record would not fit.
    if (name != "vektaclient.log") {
      EXPECT_GT(fs::file_size(entry.path()), 700u) << name;
    }
    const std::string text = Read(entry.path());
    for (auto pos = text.find("Client Application Started"); pos != std::string::npos;
         pos = text.find("Client Application Started", pos + 1))
      ++started;
  }
  // Rolling loses nothing while fewer than ten files are needed.
  EXPECT_EQ(started, kRuns);
}

TEST_F(ZepProcess, InvalidGuidExitsOne) {
  Start({"10.0.0.5", "--from-guid", "nonsense"});
  EXPECT_EQ(Wait(), 1);
  EXPECT_NE(Log().find("] Specify valid guid\n"), std::string::npos) << Log();
}

TEST_F(ZepProcess, WindowFailureLogsAndExitsZero) {
  Start({}, "no-such-driver");
  EXPECT_EQ(Wait(), 0);
  const std::string log = Log();
  const auto cant = log.find("] Can't create window\n");
  const auto failed = log.find("] Instance initialization failed\n");
  ASSERT_NE(cant, std::string::npos) << log;
  ASSERT_NE(failed, std::string::npos) << log;
  EXPECT_LT(cant, failed);
}

TEST_F(ZepProcess, BadConfigurationValueIsReportedOnStandardError) {
  WriteConfig("logger.applicationlog = " + (dir_ / "logs").string() + "\nUseVirtualAudio = True\n");
  Start({});
  EXPECT_EQ(Wait(), 2);
  EXPECT_NE(Read(dir_ / "stderr.txt").find("zep: cannot load client-config.cfg: "), std::string::npos);
  EXPECT_NE(Read(dir_ / "stderr.txt").find("class ConvertException"), std::string::npos);
}

TEST_F(ZepProcess, WithoutConfigFileLogsGoToTheXdgStateFolder) {
  fs::remove(dir_ / "client-config.cfg");
  Start({"10.0.0.5", "--token"});
  EXPECT_EQ(Wait(), 1);
  const fs::path logs = dir_ / "state" / "Vekta" / "Logs";
  EXPECT_NE(Read(logs / "vektaclient.log").find("] Specify token value please\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(logs / "vektaclient.csv"));
  EXPECT_TRUE(fs::is_directory(dir_ / "data" / "Vekta" / "Logs"));
  EXPECT_EQ(Read(dir_ / "stdout.txt"), "");
}

TEST_F(ZepProcess, MalformedConfigLinesAreReportedOnStandardOutput) {
  WriteConfig("; comment\nlogger.applicationlog = " + (dir_ / "logs").string() + "\nhello\n");
  Start({"10.0.0.5", "--session"});
  EXPECT_EQ(Wait(), 1);
  EXPECT_EQ(Read(dir_ / "stdout.txt"), "CFG: Couldn't find separator on line: 3\n");
  EXPECT_NE(Log().find("] Specify session value please\n"), std::string::npos);
}

}  // namespace
