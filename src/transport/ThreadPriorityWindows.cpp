#include "transport/ThreadPriority.h"

#include <windows.h>

namespace quorvane {

bool runThisThreadAhead() {
  return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) != 0;
}

}  // namespace quorvane
