#pragma once
// WaitAny, WaitAll and WaitAnyFd live beside the Waitable interface.
#include "platform/Waitable.h"
