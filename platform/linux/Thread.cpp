#include "platform/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace platform {

namespace {
// Nice value asked for; within reach of users allowed RLIMIT_NICE or CAP_SYS_NICE.
constexpr int kRaisedNice = -10;
}  // namespace

bool RaiseThreadPriority(const char* purpose) {
  const char* what = purpose ? purpose : "thread";
  // On Linux the nice value belongs to the thread named by its id.
  const id_t tid = static_cast<id_t>(::gettid());
  errno = 0;
  int current = ::getpriority(PRIO_PROCESS, tid);
  if (errno == 0 && current <= kRaisedNice) return true;
  if (::setpriority(PRIO_PROCESS, tid, kRaisedNice) == 0) {
    LOGD << what << ": thread priority raised to nice " << kRaisedNice;
    return true;
  }
  LOGD << what << ": cannot raise thread priority: " << SystemErrorText(errno);
  return false;
}

void SetThreadName(const char* name) {
  if (name == nullptr) return;
  std::string shortName(name, ::strnlen(name, 15));
  ::pthread_setname_np(::pthread_self(), shortName.c_str());
}

}  // namespace platform
