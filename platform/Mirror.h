#pragma once
// Internal: the descriptor that mirrors an object's signalled state for the waits. On Linux an
// eventfd (readable while armed), on Windows a manual-reset event (signalled while armed).
namespace platform::mirror {

// A new descriptor, not armed; throws ErrCodeException with the errno value of the failure.
int Open();
// Makes the descriptor signalled / not signalled; each may be repeated.
void Arm(int fd);
void Disarm(int fd);
void Close(int fd);

}  // namespace platform::mirror
