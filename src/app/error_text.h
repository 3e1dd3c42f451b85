#pragma once

#include <string>

namespace velmora::app {

// The system's English sentence for a result code, as a detail line shows it.
std::string ErrorText(int code);

}  // namespace velmora::app
