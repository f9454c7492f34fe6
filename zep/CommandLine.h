#pragma once
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "zep/StartParams.h"

class Config;

// Parses zep's arguments (args[0] is the program path). The first argument is always the station
// address; options follow in any order, names compared case-insensitively, and `--city` takes the
// rest of the line. Problems are reported; the result is the exit code when start-up must stop.
std::optional<int> ParseCommandLine(const std::vector<std::string>& args, StartParams& params,
                                    Config& config);

// True when the player asked for the usage (`--help` or `-h` before `--city`). No station address
// looks like that, so the word is recognised in the address position too.
bool WantsHelp(const std::vector<std::string>& args);
extern const char* const kUsage;

// A start-up failure goes to the application log at error level (as `text`, under the caller's
// name) and to standard error, where whoever started zep by hand sees it; `detail` is added on
// standard error only.
void StartupError(std::string_view text, std::string_view detail = {},
                  std::source_location where = std::source_location::current());
