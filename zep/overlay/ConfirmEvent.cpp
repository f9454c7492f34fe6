#include "zep/overlay/ConfirmEvent.h"

#include "platform/LocalIpc.h"
#include "sov/base/Log.h"

namespace overlay {

void SetConfirmSessionEvent(const std::string& fifoPath) {
  if (!platform::SetFifoSignal(fifoPath)) {
    LOGE << "ConfirmSessionEvent not found";
    return;
  }
  LOGI << "ConfirmSessionEvent set";
}

}  // namespace overlay
