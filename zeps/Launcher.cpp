#include "zeps/Launcher.h"

#include "platform/Wait.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"

namespace {

const char* const kProtectedNames[] = {"FortniteClient-Win64-Shipping_EAC.exe", "dllhost.exe",
                                       "TeamViewer.exe", "ShellExperienceHost.exe"};

}  // namespace

std::vector<std::string> ZepArguments(const LaunchRequest& r) {
  std::vector<std::string> args = {r.address,   "--port",      std::to_string(r.basePort),
                                   "--token",   r.proxyToken,  "--session",
                                   r.sessionId, "--from-guid", r.sessionToken};
  if (r.canTryNext) args.push_back("--canTryNext");
  args.push_back("--city");
  args.push_back(r.city);
  return args;
}

std::string ZepCommandLine(const std::string& program, const LaunchRequest& r) {
  std::string line = "\"" + program + "\"" + r.address;
  line += " --port " + std::to_string(r.basePort);
  line += " --token " + r.proxyToken;
  line += " --session " + r.sessionId;
  line += " --from-guid " + r.sessionToken;
  if (r.canTryNext) line += " --canTryNext";
  line += " --city " + r.city;
  return line;
}

bool IsProtectedProcess(const std::string& path) {
  for (const char* name : kProtectedNames) {
    const std::string_view n(name);
    if (path.size() >= n.size() &&
        text::EqualsNoCase(std::string_view(path).substr(path.size() - n.size()), n))
      return true;
  }
  return false;
}

LaunchTarget Launcher::Target() const {
  LaunchTarget target;
  target.runtimeFolder = runtimeFolder_;
  if (!platform::RunningAsRoot() || sameUser_) return target;
  auto session = sessions_();
  if (!session) throw BaseException("No active session", ZEP_SOURCE, __LINE__);
  target.runAs = session->user;
  target.env = session->env;
  target.runtimeFolder = session->runtimeFolder;
  return target;
}

platform::ChildProcess Launcher::Launch(const LaunchRequest& request, const LaunchTarget& target) const {
  platform::SpawnRequest spawn;
  const std::string program = directory_ + "/zep";
  spawn.argv.push_back(program);
  for (std::string& a : ZepArguments(request)) spawn.argv.push_back(std::move(a));
  spawn.directory = directory_;
  if (target.runAs) {
    // The session's own environment and nothing of root's.
    spawn.runAs = target.runAs;
    spawn.ownEnvironment = false;
    spawn.setEnv = target.env;
  }
  if (gpu_) spawn.setEnv.push_back("DRI_PRIME=1");
  LOGI << "Launching " << ZepCommandLine(program, request);
  return platform::ChildProcess::Spawn(spawn);
}

void Launcher::Close(platform::ChildProcess& child, int graceMs) {
  if (child.HasEnded()) return;
  if (child.Pid() == platform::CurrentProcessId() ||
      IsProtectedProcess(platform::ExecutablePathOf(child.Pid()))) {
    LOGW << "Process " << child.Pid() << " is protected and stays open";
    return;
  }
  if (child.RequestClose() && platform::WaitAny({&child}, graceMs) == 0) return;
  LOGI << "zep did not close within " << graceMs << " ms; killing it";
  child.Kill();
  // Reap it now, so no zombie outlives the attempt.
  platform::WaitAny({&child}, 1000);
  child.ExitCode();
}
