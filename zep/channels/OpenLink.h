#pragma once
// Links the station asks the client to open in the player's browser.
#include <optional>
#include <string>
#include <string_view>

// The link as it goes to the opener: only http and https, a non-empty host, no user name or
// password, no spaces or control characters; characters beyond ASCII are percent-encoded as
// UTF-8. None for anything else.
std::optional<std::string> CheckedLink(std::u16string_view link);

// Opens a checked link with the desktop's opener ("xdg-open", no shell); a link that fails the
// check is dropped with a debug line. True when the opener was started.
bool OpenLink(std::u16string_view link);
