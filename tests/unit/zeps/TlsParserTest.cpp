// The ClientHello reader against hellos captured from real TLS clients, and against hand-built,
// cut, re-framed and oversized ones.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zeps/TlsParser.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

// Runs a TLS client against a loopback socket and returns the first record(s) it sends: the
// whole ClientHello, as the record headers count it.
Bytes CaptureHello(std::vector<std::string> client) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  for (auto& a : client) {
    const auto at = a.find("PORT");
    if (at != std::string::npos) a.replace(at, 4, std::to_string(ntohs(sa.sin_port)));
  }
  std::vector<char*> argv;
  for (auto& a : client) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  pollfd p{listener, POLLIN, 0};
  Bytes out;
  if (poll(&p, 1, 10000) == 1) {
    int conn = accept(listener, nullptr, nullptr);
    std::size_t want = 5;
    while (out.size() < want) {
      pollfd c{conn, POLLIN, 0};
      if (poll(&c, 1, 5000) != 1) break;
      uint8_t buf[4096];
      const ssize_t n = recv(conn, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
      // Records until the handshake message is complete.
      std::size_t at = 0, body = 0, need = 0;
      while (at + 5 <= out.size()) {
        const std::size_t rl = out[at + 3] << 8 | out[at + 4];
        if (body == 0 && at + 9 <= out.size())
          need = (out[at + 6] << 16 | out[at + 7] << 8 | out[at + 8]) + 4;
        body += rl;
        at += 5 + rl;
        if (need != 0 && body >= need) break;
      }
      want = need != 0 && body >= need ? at : out.size() + 1;
    }
    close(conn);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(listener);
  return out;
}

std::string Parse(const Bytes& b) {
  return TlsParser::ParseServerName(b.data(), b.size());
}

// The reason text of a parse failure, or "" when it parsed.
std::string Failure(const Bytes& b) {
  try {
    Parse(b);
    return "";
  } catch (const BaseException& e) {
    return e.Message();
  }
}

void Put16(Bytes& b, std::size_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// A record with a ClientHello whose extensions block is `extensions` (with its 2-byte length).
Bytes Hello(const Bytes& extensions) {
  Bytes body = {3, 3};
  body.resize(34, 0xAB);                 // version + random
  body.push_back(0);                     // no session id
  Put16(body, 2), Put16(body, 0x1301);   // one cipher suite
  body.push_back(1), body.push_back(0);  // null compression
  body.insert(body.end(), extensions.begin(), extensions.end());
  Bytes rec = {22, 3, 1};
  Put16(rec, body.size() + 4);
  rec.push_back(1);
  rec.push_back(0), Put16(rec, body.size());
  rec.insert(rec.end(), body.begin(), body.end());
  return rec;
}

Bytes Sni(std::initializer_list<std::pair<uint8_t, std::string>> names) {
  Bytes list;
  for (auto& [type, name] : names) {
    list.push_back(type);
    Put16(list, name.size());
    list.insert(list.end(), name.begin(), name.end());
  }
  Bytes ext;
  Put16(ext, 0), Put16(ext, list.size() + 2), Put16(ext, list.size());
  ext.insert(ext.end(), list.begin(), list.end());
  return ext;
}

Bytes Extensions(const Bytes& inner) {
  Bytes e;
  Put16(e, inner.size());
  e.insert(e.end(), inner.begin(), inner.end());
  return e;
}

}  // namespace

TEST(TlsParser, ReadsServerNameFromRealClientHellos) {
  const std::string name = "start.11111111-2222-3333-4444-555555555555.5e55a0f1-0000-4000-8000-0000000000aa1";
  const std::vector<std::pair<std::vector<std::string>, std::string>> clients = {
      {{"/usr/bin/openssl", "s_client", "-tls1_3", "-connect", "127.0.0.1:PORT", "-servername", name}, name},
      {{"/usr/bin/openssl", "s_client", "-tls1_2", "-connect", "127.0.0.1:PORT", "-servername", "check.tok"},
       "check.tok"},
      {{"/usr/bin/openssl", "s_client", "-connect", "127.0.0.1:PORT", "-noservername"}, ""},
      {{"/usr/bin/curl", "-s", "--tlsv1.2", "--tls-max", "1.2", "--resolve", "check.abc:PORT:127.0.0.1",
        "https://check.abc:PORT/"},
       "check.abc"},
      {{"/usr/bin/curl", "-s", "--tlsv1.3", "--resolve", "connect.x:PORT:127.0.0.1",
        "https://connect.x:PORT/"},
       "connect.x"},
  };
  for (const auto& [client, expected] : clients) {
    const Bytes hello = CaptureHello(client);
    ASSERT_GT(hello.size(), 50u) << client[0] << " " << expected;
    EXPECT_EQ(Parse(hello), expected) << client[0] << " " << expected;

    // Every cut of it is a receive failure, never a name or a crash.
    for (std::size_t n = 0; n < hello.size(); n += 7)
      EXPECT_EQ(Failure(Bytes(hello.begin(), hello.begin() + n)), "ReceiveStruct() failed") << n;

    // The same handshake message spread over records of 9 bytes each.
    const std::size_t bodyLength = hello[3] << 8 | hello[4];
    Bytes split;
    for (std::size_t at = 5; at < 5 + bodyLength; at += 9) {
      const std::size_t n = std::min<std::size_t>(9, 5 + bodyLength - at);
      split.insert(split.end(), {22, 3, 3});
      Put16(split, n);
      split.insert(split.end(), hello.begin() + at, hello.begin() + at + n);
    }
    EXPECT_EQ(Parse(split), expected);
  }
}

TEST(TlsParser, RefusesWhatIsNotAWellFormedClientHello) {
  EXPECT_EQ(Parse(Hello(Extensions(Sni({{0, "first"}, {0, "second"}})))), "second");
  EXPECT_EQ(Parse(Hello(Extensions(Sni({{0, "host"}, {1, "other"}})))), "host");
  EXPECT_EQ(Parse(Hello({})), "");  // no extensions at all

  Bytes hello = Hello(Extensions(Sni({{0, "host"}})));
  Bytes appData = hello;
  appData[0] = 23;
  EXPECT_EQ(Failure(appData), "Unexpected plaintext");
  Bytes serverHello = hello;
  serverHello[5] = 2;
  EXPECT_EQ(Failure(serverHello), "Unexpected message");
  const std::string http = "GET / HTTP/1.1\r\n\r\n";
  EXPECT_EQ(Failure(Bytes(http.begin(), http.end())), "Unexpected plaintext");

  // Lengths that claim more than the message holds.
  Bytes longExt = hello;
  longExt[5 + 4 + 34 + 1 + 4 + 2 + 1] += 1;  // extensions total, low byte
  EXPECT_EQ(Failure(longExt), "Unexpected tls extension");
  Bytes longName = Hello(Extensions(Sni({{0, "host"}})));
  longName[longName.size() - 5] = 0x40;  // name length 0x4004
  EXPECT_EQ(Failure(longName), "Unexpected tls server name type");

  // Oversized record and message: refused before anything is allocated or read.
  EXPECT_EQ(Failure({22, 3, 1, 0x48, 0x01, 1, 0, 0, 1}), "Oversized ClientHello");
  EXPECT_EQ(Failure({22, 3, 1, 0x00, 0x09, 1, 0x7F, 0xFF, 0xFF}), "Oversized ClientHello");
  EXPECT_EQ(Failure({22, 3, 1, 0x00, 0x00}), "Oversized ClientHello");
}
