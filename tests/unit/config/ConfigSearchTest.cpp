// Which configuration file start-up reads: the current folder's, else the installed default.
#include <unistd.h>

#include "tests/unit/config/ConfigTestSupport.h"

namespace {

namespace fs = std::filesystem;

// Runs the body with the current folder set to `dir`, and goes back afterwards.
class InFolder {
 public:
  explicit InFolder(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~InFolder() { fs::current_path(old_); }

 private:
  fs::path old_;
};

class ConfigSearch : public configtest::ConfigTest {};

TEST_F(ConfigSearch, CurrentFolderFirstThenInstalledDefaultThenBuiltIns) {
  fs::create_directories(dir_ / "etc" / "zep");
  fs::create_directories(dir_ / "here");
  fs::create_directories(dir_ / "empty");
  const std::string system = (dir_ / "etc" / "zep" / "client-config.cfg").string();
  std::ofstream(system) << "ApiPort = 9100\nlogger.applicationlog = " << (dir_ / "logs").string() << "\n";
  std::ofstream(dir_ / "here" / "client-config.cfg") << "ApiPort = 9200\n";
  Config& config = Config::Instance();

  {
    InFolder in(dir_ / "here");
    EXPECT_EQ(ChooseConfigFile("client-config.cfg", system), "client-config.cfg");
    config.Load(ChooseConfigFile("client-config.cfg", system));
    EXPECT_EQ(config.apiPort, 9200);
  }
  {
    InFolder in(dir_ / "empty");
    EXPECT_EQ(ChooseConfigFile("client-config.cfg", system), system);
    config.Load(ChooseConfigFile("client-config.cfg", system));
    EXPECT_EQ(config.apiPort, 9100);
    EXPECT_EQ(WideToUtf8(config.applicationLogFolder), (dir_ / "logs").string());
    // Neither file: the name in the current folder, which loads as all defaults.
    const std::string missing = (dir_ / "etc" / "zep" / "none.cfg").string();
    EXPECT_EQ(ChooseConfigFile("client-config.cfg", missing), "client-config.cfg");
    config.Load(ChooseConfigFile("client-config.cfg", missing));
    EXPECT_EQ(config.apiPort, 7989);
  }
}

}  // namespace
