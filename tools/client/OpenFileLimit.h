// The open-file limit of a process that holds many client connections. A plain function.
#pragma once

namespace quorvane {

// Raises the soft open-file limit to the hard one (two descriptors per client with its own
// voice socket); the soft limit in the end.
long raiseOpenFileLimit();

}  // namespace quorvane
