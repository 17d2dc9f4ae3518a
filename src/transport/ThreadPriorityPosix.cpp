#include "transport/ThreadPriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace quorvane {

bool runThisThreadAhead() {
#ifdef SYS_sched_setattr
  // The kernel's sched_attr (linux/sched/types.h), which the C library does not declare.
  struct {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;
    std::uint64_t deadline;
    std::uint64_t period;
  } attr{};
  constexpr std::uint64_t kSliceNs = 100'000;
  attr.size = sizeof attr;
  attr.policy = SCHED_OTHER;
  attr.flags = 0x01;  // SCHED_FLAG_RESET_ON_FORK
  errno = 0;
  attr.nice = getpriority(PRIO_PROCESS, 0);  // the thread's own niceness stays
  if (errno != 0) return false;
  attr.runtime = kSliceNs;
  return syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
#else
  return false;
#endif
}

}  // namespace quorvane
