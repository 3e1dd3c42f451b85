#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace velmora::preview {

// Runs `work` in a forked copy of this process with a time limit and a cap on
// the memory it may add, and hands back the text it produced. The document
// libraries parse untrusted bytes: a hang, a crash or a runaway allocation
// there ends the copy (by its process id), never the program. Returns false
// when `work` failed, crashed or ran out of time or memory.
bool RunIsolated(const std::function<bool(std::string* text)>& work,
                 std::chrono::milliseconds time_limit, std::string* text);

}  // namespace velmora::preview
