#include "zep/channels/ChannelContext.h"

#include "platform/Waitable.h"
#include "sov/base/BaseException.h"

void PauseBeforeRetry(platform::Event& interrupt) {
  if (platform::WaitAny({&interrupt}, kReconnectDelayMs) == 0) throw InterruptException(ZEP_SOURCE, __LINE__);
}

void ThrowIfInterrupted(const platform::Event& interrupt) {
  if (interrupt.IsSet()) throw InterruptException(ZEP_SOURCE, __LINE__);
}
