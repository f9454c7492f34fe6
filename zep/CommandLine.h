#pragma once
#include <optional>
#include <string>
#include <vector>

#include "zep/StartParams.h"

class Config;

// Parses zep's arguments (args[0] is the program path). The first argument is always the station
// address; options follow in any order, names compared case-insensitively, and `--city` takes the
// rest of the line. Problems are logged; the result is the exit code when start-up must stop.
std::optional<int> ParseCommandLine(const std::vector<std::string>& args, StartParams& params,
                                    Config& config);
