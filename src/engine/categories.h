#pragma once

#include <cstdint>
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
// The same for a record whose content decides its category (ContentCategoryOf not null):
// by the identified type's extension, or by its category's whole list when no namer is set.
bool FilterWantsContent(std::string_view filter, const ScanRecord& record, bool others_wanted);

// The content check of a record (its `content_check` field): bit 0 tells whether the first
// bytes agree with the extension (or no test applies). Where the listing follows the content
// instead of the name, bits 8-15 hold the content's category (1 photo ... 6 others) and bits
// 16-23 the identified signature type + 1; both are 0 where the name decides.
constexpr uint32_t kContentAgrees = 1;
uint32_t ContentCheckValue(bool agrees, std::string_view content_category, int type);
inline bool ContentAgrees(const ScanRecord& record) { return (record.content_check & 1u) != 0; }
// The category the content gave, or nullptr where the name decides.
const char* ContentCategoryOf(const ScanRecord& record);
// The signature type the content was identified as where it decides, else -1.
int ContentTypeOf(const ScanRecord& record);

// Names a signature type by the extension its carved files get ("" for an unknown type).
// The signature catalogue sets it; until then records are listed by name alone.
using ContentTypeNamer = const char* (*)(int type);
void SetContentTypeNamer(ContentTypeNamer namer);
// The extension the content was identified as ("jpg"), or "" where the name decides.
std::string ContentExtensionOf(const ScanRecord& record);

// Whether CategoryOfName places a name with `extension` by a whole entry of a list ("rm" is
// audio) rather than by a part of one (".o" of ".orf") or not at all.
bool NamedByWholeEntry(std::string_view extension);

// The record's category: the content's where it decides, else CategoryOfName.
const char* CategoryOfRecord(const ScanRecord& record);

// A photo whose first bytes did not match its extension and were not recognised as
// anything else.
bool IsHiddenPhoto(const ScanRecord& record);

// Filter text for a list of category names ("photo", ..., "others", "all").
// Returns false on an unknown name.
bool FilterForCategories(const std::string& comma_separated, std::string* filter);

}  // namespace velmora
