// The status page (/): one self-contained HTML document, its script and style inline, that
// shows the channel tree with its users and refreshes itself from /status.json.
#pragma once

namespace quorvane {

class StatusPage {
 public:
  static const char* html();
};

}  // namespace quorvane
