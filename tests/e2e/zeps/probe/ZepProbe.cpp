// Stands in for zep where a shell cannot: records the signal mask and the ignored signals it
// was started with (a shell clears its mask first thing) into out/signals beside it, then runs
// the script zep.sh beside it with zep's arguments.
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const std::string self = argv[0];
  const std::string dir = self.substr(0, self.rfind('/') + 1);
  {
    std::ifstream status("/proc/self/status");
    std::ofstream out(dir + "out/signals");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) out << line << "\n";
  }
  std::string script = dir + "zep.sh";
  std::vector<char*> args = {const_cast<char*>("/bin/sh"), script.data()};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  execv("/bin/sh", args.data());
  return 127;
}
