// The host's event log for tests and the run script: when VELMORA_HOST_LOG
// names a file, one JSON object per line is appended for each event
// (start, portal check, document complete with the window's geometry,
// About box, end). Nothing is written otherwise.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace velmora::host {

void hostLog(const std::string& event, nlohmann::json fields = nlohmann::json::object());

}  // namespace velmora::host
