#pragma once
// File mechanics of the per-user settings store: small files read whole, replaced
// atomically, and a lock file that orders read-modify-write between processes
// (zep and zeps may write the same folder). What the files say is the caller's business.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"

namespace platform {

enum class FileKind { Missing, Regular, Folder, Other };

// What path names, following links. Throws ErrCodeException(errno) when it cannot be
// examined for another reason than being missing.
FileKind KindOfFile(const std::string& path);

// Reads the whole regular file into content. Returns 0; ENOENT when it is missing;
// EISDIR for a folder; EINVAL for anything else that is not a regular file (a FIFO
// would block the reader); EFBIG when it holds more than maxSize bytes; else the
// errno of the failing call.
int ReadSmallFile(const std::string& path, std::size_t maxSize, std::string& content);

// Replaces path with data, mode 0600: a temp file beside it, flushed to disk, then
// renamed over it, so a crash or a full disk leaves either the old file or the new
// one. A path that is a symbolic link (settings kept with the user's dotfiles) is
// replaced at the link's target, so the link survives. Throws ErrCodeException(errno).
void ReplaceFileAtomically(const std::string& path, std::string_view data);

// Opens or creates (0600) the lock file and takes an exclusive lock on it, held while
// the returned descriptor lives. Throws ErrCodeException(errno).
UniqueFd LockFile(const std::string& path);

}  // namespace platform
