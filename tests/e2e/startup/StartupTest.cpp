// Runs the built zep program (and the demo script) headless and checks exit codes, logs and what
// the terminal shows.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kZep = ZEP_BINARY_DIR "/bin/zep";

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Makes getrandom fail in the child, as on a kernel without it.
void DenyGetrandom() {
  static sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  static sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
    _exit(99);
}

class ZepProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zep-e2e-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "logs");
    WriteConfig("");
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  // The test's log folder first, then `more`.
  void WriteConfig(const std::string& more) {
    std::ofstream(dir_ / "client-config.cfg")
        << "logger.applicationlog = " << (dir_ / "logs").string() << "\n"
        << more;
  }

  // Starts argv[0] with argv in its own session, in the test folder, with a private home.
  void Start(std::vector<std::string> argv, const std::string& videoDriver = "offscreen",
             void (*inChild)() = nullptr) {
    const std::string d = dir_.string();
    std::vector<std::string> env = {"SDL_VIDEODRIVER=" + videoDriver,
                                    "SDL_AUDIODRIVER=dummy",
                                    "HOME=" + d,
                                    "TMPDIR=" + d,
                                    "XDG_STATE_HOME=" + d + "/state",
                                    "XDG_DATA_HOME=" + d + "/data",
                                    "XDG_CONFIG_HOME=" + d + "/config",
                                    "XDG_RUNTIME_DIR=" + d};
    if (const char* path = getenv("PATH")) env.push_back(std::string("PATH=") + path);
    std::vector<char*> envp, argvp;
    for (auto& e : env) envp.push_back(e.data());
    for (auto& a : argv) argvp.push_back(a.data());
    envp.push_back(nullptr);
    argvp.push_back(nullptr);
    const std::string out = (dir_ / "stdout.txt").string(), err = (dir_ / "stderr.txt").string();
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      setsid();
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir_.c_str()) != 0) _exit(98);
      if (inChild) inChild();
      execve(argvp[0], argvp.data(), envp.data());
      _exit(97);
    }
  }
  void StartZep(std::vector<std::string> args, const std::string& videoDriver = "offscreen") {
    args.insert(args.begin(), kZep);
    Start(args, videoDriver);
  }

  // Exit code, or -1000 - signal number, or -1 on time-out.
  int Wait(std::chrono::seconds limit = 30s) {
    for (auto deadline = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < deadline;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

  std::string Log() const { return Read(dir_ / "logs" / "vektaclient.log"); }
  std::string Out() const { return Read(dir_ / "stdout.txt"); }
  std::string Err() const { return Read(dir_ / "stderr.txt"); }
  fs::path dir_;
  pid_t pid_ = -1;
};

// The names of the live processes of session `sid` other than its leader, each followed by a space.
std::string SessionMembers(pid_t sid) {
  std::string names;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string stat = Read(entry.path() / "stat");
    const auto open = stat.find('('), close = stat.rfind(')');
    char state = 0;
    int ppid = 0, pgrp = 0, session = 0;
    if (close == std::string::npos ||
        std::sscanf(stat.c_str() + close + 1, " %c %d %d %d", &state, &ppid, &pgrp, &session) != 4)
      continue;
    if (session == sid && state != 'Z' && std::stoi(stat) != sid)
      names += stat.substr(open + 1, close - open - 1) + " ";
  }
  return names;
}

TEST_F(ZepProcess, StartsTheWindowWithTheCommandLineAndExitsZeroOnQuit) {
  StartZep({"127.0.0.2", "--port", "9000", "--from-guid", "{00112233-4455-6677-8899-AABBCCDDEEFF}", "--foo",
            "--city", "Z\xC3", "--token"});
  for (int i = 0; i < 1500 && !Contains(Log(), "Main window "); ++i) std::this_thread::sleep_for(20ms);
  kill(pid_, SIGTERM);  // as a desktop asks a program to quit
  EXPECT_EQ(Wait(), 0);
  const std::string log = Log();
  EXPECT_TRUE(Contains(log, "INFO  [") && Contains(log, "] Client Application Started\n")) << log;
  EXPECT_TRUE(
      Contains(log, "Station 127.0.0.2 ports 9000..9005, client 00112233-4455-6677-8899-aabbccddeeff"))
      << log;
  EXPECT_TRUE(Contains(log, "ERROR [") && Contains(log, "] unknown parameter --foo\n")) << log;
  EXPECT_EQ(Read(dir_ / "logs" / "vektaclient.csv"), "Date;Time;Severity;TID;This;Function;Message\n");
  // A well-formed configuration file prints nothing; the unknown word is the only complaint.
  EXPECT_EQ(Out() + Err(), "zep: unknown parameter --foo\n");
}

TEST_F(ZepProcess, CommandLineErrorsExitOneBeforeAnyWindowAndShowOnStandardError) {
  for (const char* port : {"abc", "65531"}) {
    fs::remove(dir_ / "logs" / "vektaclient.log");
    StartZep({"10.0.0.5", "--token", "t", "--Port", port});
    EXPECT_EQ(Wait(), 1);
    const std::string log = Log();
    // The start record comes first, then the complaint at error level.
    EXPECT_TRUE(log.substr(0, log.find('\n')).ends_with("] Client Application Started")) << log;
    EXPECT_TRUE(Contains(log, "ERROR [") && Contains(log, "] [ParseCommandLine@")) << log;
    EXPECT_TRUE(Contains(log, "] Specify port value please\n")) << log;
    EXPECT_FALSE(Contains(log, "Main window")) << log;
    EXPECT_EQ(Err(), "zep: Specify port value please: \"" + std::string(port) +
                         "\" is not a base port from 1 to 65530\n");
  }
}

TEST_F(ZepProcess, HostNameAsStationAddressExitsOneWithTheReasonBeforeAnyWindow) {
  StartZep({"localhost", "--port", "9000"});
  EXPECT_EQ(Wait(), 1);
  const std::string log = Log();
  EXPECT_TRUE(Contains(log, "] Specify valid station address: localhost\n")) << log;
  EXPECT_FALSE(Contains(log, "Main window")) << log;
  EXPECT_EQ(
      Err(),
      "zep: Specify valid station address: localhost: the station address must be dotted IPv4 text such "
      "as 10.0.0.5; host names are not resolved\n");
}

TEST_F(ZepProcess, HelpPrintsUsageAndExitsZeroWithoutLogging) {
  StartZep({"--help"});
  EXPECT_EQ(Wait(), 0);
  EXPECT_TRUE(Out().starts_with("usage: zep [address] [--port N]")) << Out();
  EXPECT_FALSE(fs::exists(dir_ / "logs" / "vektaclient.log"));
}

TEST_F(ZepProcess, WithoutGuidTheClientLogsAndStopsBeforeAnyWindow) {
  Start({kZep, "10.0.0.5"}, "offscreen", DenyGetrandom);
  const int code = Wait();
  if (code == 99) GTEST_SKIP() << "seccomp filters are not allowed here";
  EXPECT_EQ(code, 0);
  const std::string log = Log();
  EXPECT_TRUE(Contains(log, "] Can't create the client GUID: ")) << log;
  EXPECT_TRUE(Contains(Err(), "zep: Can't create the client GUID: ")) << Err();
  EXPECT_FALSE(Contains(log, "Main window")) << log;
}

// The size key reaches the logger: 15 runs of two records each need more than one 1000-byte file.
TEST_F(ZepProcess, LogFilesRollAtTheConfiguredSizeRaisedToAThousandBytes) {
  WriteConfig("logger.Max_Log_File_Size = 10\n");
  for (int i = 0; i < 15; ++i) {
    StartZep({"10.0.0.5", "--token"});
    ASSERT_EQ(Wait(), 1);
  }
  for (const char* name : {"vektaclient.log", "vektaclient.1.log"}) {
    EXPECT_LE(fs::file_size(dir_ / "logs" / name), 1000u) << name;
  }
  EXPECT_GT(fs::file_size(dir_ / "logs" / "vektaclient.1.log"), 700u);
}

TEST_F(ZepProcess, WindowFailureLogsAndExitsZero) {
  StartZep({}, "no-such-driver");
  EXPECT_EQ(Wait(), 0);
  const std::string log = Log();
  const auto cant = log.find("] Can't create window\n");
  ASSERT_NE(cant, std::string::npos) << log;
  EXPECT_LT(cant, log.find("] Instance initialization failed\n"));
  EXPECT_EQ(Err(), "zep: Can't create window\nzep: Instance initialization failed\n");
}

TEST_F(ZepProcess, BadConfigurationValueNamesKeyAndLineOnStandardError) {
  WriteConfig("; flags\nUseVirtualAudio = True\n");
  StartZep({});
  EXPECT_EQ(Wait(), 2);
  const std::string err = Err();
  EXPECT_TRUE(err.starts_with("zep: cannot load client-config.cfg: ")) << err;
  EXPECT_TRUE(
      err.ends_with("Convert.cpp:52 class ConvertException(errcode -2147024809); ; "
                    "The parameter is incorrect. (key \"UseVirtualAudio\" on line 3)\n"))
      << err;
  // One line: no carriage return or blank line from the exception's text.
  EXPECT_EQ(err.find_first_of("\r\n"), err.size() - 1);
}

TEST_F(ZepProcess, LogFolderDefaultsWhenAbsentAndIsCreatedWhenMissing) {
  const fs::path xdgLogs = dir_ / "state" / "Vekta" / "Logs";
  const fs::path nested = dir_ / "new" / "deeper" / "logs";
  const std::pair<std::string, fs::path> cases[] = {
      {"", xdgLogs}, {"logger.applicationlog = " + nested.string() + "\n", nested}};
  for (const auto& [config, folder] : cases) {
    SCOPED_TRACE(config);
    std::ofstream(dir_ / "client-config.cfg") << config;
    StartZep({"10.0.0.5", "--session"});
    EXPECT_EQ(Wait(), 1);
    EXPECT_TRUE(Contains(Read(folder / "vektaclient.log"), "] Specify session value please\n"));
    EXPECT_TRUE(fs::exists(folder / "vektaclient.csv"));
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "data" / "Vekta" / "Logs"));
  // A folder that cannot be made: the run goes on without logs and says why.
  std::ofstream(dir_ / "blocker") << "a file where a folder should be";
  std::ofstream(dir_ / "client-config.cfg")
      << "logger.applicationlog = " << (dir_ / "blocker" / "logs").string();
  StartZep({"10.0.0.5", "--session"});
  EXPECT_EQ(Wait(), 1);
  EXPECT_TRUE(Err().starts_with("zep: cannot create the log folder " + (dir_ / "blocker" / "logs").string()))
      << Err();
  EXPECT_TRUE(Contains(Err(), "Not a directory\nzep: Specify session value please\n")) << Err();
}

// Ctrl-C reaches the whole foreground group, but background jobs of a script ignore SIGINT: the
// demo must stop the client and the station itself.
TEST_F(ZepProcess, DemoScriptLeavesNoProcessBehindOnInterrupt) {
  const int base = 20000 + getpid() % 20000;
  Start({"/bin/bash", ZEP_SOURCE_DIR "/scripts/run-demo.sh", "--build-dir", ZEP_BINARY_DIR, "--seconds", "60",
         "--port", std::to_string(base)});
  bool zepRunning = false;
  for (auto deadline = std::chrono::steady_clock::now() + 30s;
       !zepRunning && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
    zepRunning = Contains(SessionMembers(pid_), "zep ");
  }
  ASSERT_TRUE(zepRunning) << Out() << Err();
  std::this_thread::sleep_for(300ms);  // let zep get past start-up
  const pid_t script = pid_;
  kill(-script, SIGINT);
  EXPECT_EQ(Wait(10s), 130) << Out() << Err();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(SessionMembers(script), "");
  // Whatever survived must not outlive the test.
  kill(-script, SIGKILL);
}

}  // namespace
