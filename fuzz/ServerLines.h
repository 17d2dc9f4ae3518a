// The form of every line the server writes to a client: a known reply or notification word, then
// exactly its fields in order, each value in the form it is written in. Stateless; any thread.
#pragma once

#include <string_view>

namespace quorvane::fuzz {

// True when `line` (CR LF removed) is one the server may write.
bool isServerLine(std::string_view line);

}  // namespace quorvane::fuzz
