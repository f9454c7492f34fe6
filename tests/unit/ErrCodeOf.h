#pragma once
// The code of the ErrCodeException a call throws, for tests that expect one exact code.
#include <functional>

#include "sov/base/BaseException.h"

// The code of the ErrCodeException f throws; 0 when it throws none.
inline int ErrCodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ErrCodeException& e) {
    return e.Code();
  }
  return 0;
}
