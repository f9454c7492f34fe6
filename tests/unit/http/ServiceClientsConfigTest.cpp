// The clients built from client-config.cfg: hosts, ports and CA file from their
// keys, and every client but the token verifier renewing through it. Ports
// (of the clients and of the reference back-end) must fit 16 bits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "mord/services/ServiceClients.h"
#include "sov/config/Config.h"
#include "tests/unit/http/BackendSim.h"

namespace fs = std::filesystem;

namespace {

TEST(ServiceClientsConfigTest, BuiltFromConfigAndWiredForRenewal) {
  const std::string session = "5e55a0f1-0000-4000-8000-000000000001";
  BackendSim sim(R"({"tokens": ["tok"], "renewals": {"stale": "tok"}, "stream_key": "k",
                     "sessions": {")" +
                 session + R"(": {"status": "HANDSHAKE"}}})");
  const fs::path cfg = sim.Dir() / "client-config.cfg";
  const std::string port = std::to_string(sim.Port());
  {
    std::ofstream out(cfg);
    out << "SessionManagerHost = 127.0.0.1\nSessionManagerPort = " << port << "\n"
        << "ServerManagerHost = localhost\nServerManagerPort = " << port << "\n"
        << "TokenVerifierHost = 127.0.0.1\nTokenVerifierPort = " << port << "\n"
        << "SettingsHost = localhost\nSettingsPort = " << port << "\n"
        << "HttpsCaFile = " << sim.CaFile() << "\n";
  }
  Config& config = Config::Instance();
  config.Load(cfg.string());
  ServiceClients clients = ServiceClients::FromConfig(config);
  std::string token = "stale";
  EXPECT_EQ(clients.sessionManager->GetEndpoints(session, token).Status(), "HANDSHAKE");
  EXPECT_EQ(token, "tok");
  token = "stale";
  EXPECT_EQ(clients.settings->GetYoutubeSettings(token).StreamKey().value_or(""), "k");
  EXPECT_EQ(token, "tok");
  token = "stale";
  EXPECT_EQ(clients.serverManager->GetSessionTokens(session, token).List().size(), 0u);
  EXPECT_EQ(token, "tok");

  auto log = sim.Requests();
  ASSERT_EQ(log.size(), 9u);
  // Each call: refused, renewed through the token verifier, then sent again with the new token.
  for (size_t i : {0u, 3u, 6u}) {
    EXPECT_EQ(log[i].status, 401) << i;
    EXPECT_EQ(log[i + 1].path, "/token-verifier/renewProxyToken") << i;
    EXPECT_EQ(log[i + 1].body, "{\"proxy_token\" : \"stale\"}") << i;
    EXPECT_EQ(log[i + 1].Header("X-Auth-Token"), "stale") << i;
    EXPECT_EQ(log[i + 2].Header("X-Auth-Token"), "tok") << i;
  }
}

TEST(ServiceClientsConfigTest, PortOutsideSixteenBitsIsRefused) {
  const fs::path cfg = fs::temp_directory_path() / ("zep-port-" + std::to_string(getpid()) + ".cfg");
  for (const char* port : {"70000", "0", "-1"}) {
    std::ofstream(cfg) << "SessionManagerHost = 127.0.0.1\nSessionManagerPort = " << port << "\n";
    Config::Instance().Load(cfg.string());
    EXPECT_THROW(ServiceClients::FromConfig(Config::Instance()), HttpRequestException) << port;
  }
  fs::remove(cfg);
}

TEST(BackendOptions, PortMustBeASixteenBitNumber) {
#ifdef _WIN32
  GTEST_SKIP()
      << "Wine starts the Linux back-end without a process handle, so its exit status cannot be read";
#endif
  for (const char* port : {"70000", "abc", "12x", "-1", ""}) {
    std::string errors;
    EXPECT_EQ(RunBackend({"--port", port}, errors), 2) << port;
    EXPECT_NE(errors.find("--port needs a number from 0 to 65535"), std::string::npos) << errors;
  }
}

}  // namespace
