#pragma once
// Starting a helper program (such as the desktop's URL opener) without a shell.
#include <string>
#include <vector>

namespace platform {

// Starts argv[0], looked up in PATH, with the given arguments and this process's environment,
// and does not wait for it; the child is reaped in the background when it ends. False (with the
// reason logged at debug level) when it could not be started.
bool SpawnDetached(const std::vector<std::string>& argv);

}  // namespace platform
