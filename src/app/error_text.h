#pragma once

#include <string>

namespace velmora::app {

// A sentence for any code a user can meet: the engines' own codes (NTFS, FAT) and those of
// storage, in lower case as a detail after a colon.
std::string ResultText(int code);

// The system's English sentence for a result code, as a detail line shows it.
std::string ErrorText(int code);

}  // namespace velmora::app
