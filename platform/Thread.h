#pragma once
// Thread scheduling helpers. Raising priority is best effort: an unprivileged user
// usually may not, which is logged at debug level and otherwise ignored.
namespace platform {

// Raises the calling thread's priority (used where the original asked for the
// multimedia scheduler or the highest thread priority). True when it took effect.
bool RaiseThreadPriority(const char* purpose);

// Names the calling thread for debuggers and top (cut to 15 characters).
void SetThreadName(const char* name);

}  // namespace platform
