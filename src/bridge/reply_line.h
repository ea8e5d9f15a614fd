// One line received from the bridge, logged and parsed: the parsed object, or an empty object
// when it is not a usable message (not JSON, not an object, "msg_type" not text, a puzzle reply
// without a "puzzle" object, nesting deeper than kMaxBridgeJsonDepth). Never throws. `echo` false
// leaves out the traffic lines (raw line, type, puzzle id, "❌ Bridge error: "); a line that is not
// usable is reported either way.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

nlohmann::json parse_reply_line(const std::string& line, bool echo = true);
