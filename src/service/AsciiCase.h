// Case folding of ASCII text for the service's own names and settings: A-Z only, every other
// byte as it is. Pure functions, for any thread.
#pragma once

#include <string>

namespace quorvane {

// `text` with A-Z made a-z.
std::string lowerAscii(std::string text);

}  // namespace quorvane
