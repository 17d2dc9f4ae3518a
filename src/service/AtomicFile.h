// Crash-safe replacement of a whole file, for the settings write-back and the systemd unit.
// Stateless; any thread, one writer per file.
#pragma once

#include <string>

namespace quorvane {

// Puts `content` at `path` through a fresh temporary file in the same directory, flushed to disk
// and then renamed over `path` in one step, so that readers see the old file or the new one, never
// a part. On POSIX the new file keeps the permission bits, and where allowed the owner, of the
// file it replaces; a new one gets 0644 narrowed by the umask. On failure the old file is
// untouched, no temporary file is left and `reason` says what failed.
bool writeFileAtomically(const std::string& path, const std::string& content,
                         std::string& reason);

}  // namespace quorvane
