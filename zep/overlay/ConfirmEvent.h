#pragma once
// Tells the client service that the player wants this station: one byte into the FIFO the
// service created and reads.
#include <string>

namespace overlay {

// A missing FIFO, or one nobody reads, is logged as "ConfirmSessionEvent not found" and
// otherwise ignored (the client then simply plays); any other failure throws ErrCodeException.
void SetConfirmSessionEvent(const std::string& fifoPath);

}  // namespace overlay
