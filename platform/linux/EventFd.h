#pragma once
// Internal: the eventfd that mirrors an object's signalled state for poll.
namespace platform::eventfd_mirror {

// A non-blocking, close-on-exec eventfd with count 0; throws ErrCodeException with errno.
int Open();
// Makes the descriptor readable (count 0 -> 1) / not readable (count -> 0).
void Arm(int fd);
void Disarm(int fd);
void Close(int fd);

}  // namespace platform::eventfd_mirror
