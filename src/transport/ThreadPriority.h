// Scheduling of the voice thread. Voice is forwarded by one thread that runs briefly each time a
// datagram arrives; on a busy machine it should not wait for a processor behind control work. On
// Linux it asks for a short time slice, which lets a woken thread preempt the running one (kernels
// from 6.12 on; older ones ignore it); on Windows it runs at the highest priority of its process's
// class. Neither needs a privilege; threads it starts run as normal.
#pragma once

namespace quorvane {

// Applies the above to the calling thread; false when the system refused (the thread then runs as
// it was).
bool runThisThreadAhead();

}  // namespace quorvane
