#pragma once
// Starts a program for an end-to-end test without a shell. args[0] is a path or a name looked up on
// the test's own PATH; env is the program's whole environment; dir its working folder (empty: ours).
// Standard output and error go to the given files when named (created or truncated), else they are
// inherited. Returns the process id, or -1 when it could not be started.
#include <fcntl.h>
#include <spawn.h>

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

inline pid_t SpawnProcess(const std::vector<std::string>& args, const std::vector<std::string>& env,
                          const std::filesystem::path& dir = {}, const std::filesystem::path& out = {},
                          const std::filesystem::path& err = {}) {
  std::vector<std::string> a = args, e = env;
  std::vector<char*> argv, envp;
  for (auto& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  if (!out.empty())
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!err.empty())
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int r = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return r == 0 ? pid : -1;
}

}  // namespace e2e
