#pragma once

#include <string>
#include <string_view>

#include "engine/scan_record.h"

namespace velmora {

extern const char kPhotoExtensions[];
extern const char kAudioExtensions[];
extern const char kVideoExtensions[];
extern const char kDocumentExtensions[];
extern const char kArchiveExtensions[];
// Token that asks a type filter for the "others" category.
extern const char kOtherToken[];

// photo + "|" + audio + "|" + document + "|" + video + "|" + archive.
const std::string& CategoryText();

// "photo", "audio", "video", "document", "archive" or "others".
const char* CategoryOfName(std::string_view name);

// Whether a type filter asks for a file whose key ("." + its extension, lower-case) is `key`:
// the key occurs in the filter, or others are wanted and no list holds it.
bool FilterWantsExtension(std::string_view filter, std::string_view key, bool others_wanted);

// A photo whose first bytes did not match its extension.
bool IsHiddenPhoto(const ScanRecord& record);

// Filter text for a list of category names ("photo", ..., "others", "all").
// Returns false on an unknown name.
bool FilterForCategories(const std::string& comma_separated, std::string* filter);

}  // namespace velmora
