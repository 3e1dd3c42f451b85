#include "engine/categories.h"

#include <iterator>
#include <sstream>
#include <unordered_map>

#include "engine/record_text.h"

namespace velmora {

const char kPhotoExtensions[] =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|"
    "*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|"
    "*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|"
    // Formats of newer cameras and the web. Not "avif": the lists are searched by plain
    // substring, and ".avi" would then count as a photo.
    "*.webp|*.heic|*.heif|*.svg|*.rw2|";
const char kAudioExtensions[] =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|"
    "*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.opus";  // not "flac": ".fla" is a video
const char kVideoExtensions[] =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|"
    "*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|"
    "*.mxf|*.lrv|";
const char kDocumentExtensions[] =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|"
    "*.html|*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.rtf";
const char kArchiveExtensions[] =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|*.xz|*.zst|"
    "*.lz|*.deb|*.tgz|*.tbz2|*.txz|*.tzst|*.udeb";
const char kOtherToken[] = ".other";

static_assert(sizeof(kPhotoExtensions) - 1 == 250 + 33);

const std::string& CategoryText() {
  static const std::string text = std::string(kPhotoExtensions) + "|" + kAudioExtensions + "|" +
                                  kDocumentExtensions + "|" + kVideoExtensions + "|" +
                                  kArchiveExtensions;
  return text;
}

namespace {

// Extensions the substring rule cannot place, so they stay out of the lists: each begins
// with an extension of an earlier list (".avi" would count as a photo, ".fla" as audio).
struct WholeExtension {
  std::string_view key;
  const char* category;
  const char* list;
};
const WholeExtension kWholeExtensions[] = {{".avif", "photo", kPhotoExtensions},
                                           {".flac", "audio", kAudioExtensions}};

const WholeExtension* Whole(std::string_view key) {
  for (const WholeExtension& whole : kWholeExtensions) {
    if (whole.key == key) return &whole;
  }
  return nullptr;
}

const char* PlaceExtension(std::string_view key) {
  if (const WholeExtension* whole = Whole(key)) return whole->category;
  const std::pair<const char*, const char*> lists[] = {{kPhotoExtensions, "photo"},
                                                       {kAudioExtensions, "audio"},
                                                       {kVideoExtensions, "video"},
                                                       {kDocumentExtensions, "document"},
                                                       {kArchiveExtensions, "archive"}};
  for (const auto& [list, category] : lists) {
    if (std::string_view(list).find(key) != std::string_view::npos) return category;
  }
  return "others";
}

}  // namespace

bool FilterWantsExtension(std::string_view filter, std::string_view key, bool others_wanted) {
  if (const WholeExtension* whole = Whole(key)) {
    return filter.find(whole->list) != std::string_view::npos;
  }
  return filter.find(key) != std::string_view::npos ||
         (others_wanted && CategoryText().find(key) == std::string::npos);
}

const char* CategoryOfName(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return "others";
  const std::string key = AsciiLower(name.substr(dot, 27));
  // A listing asks for thousands of names sharing a few extensions: each is placed once.
  thread_local std::unordered_map<std::string, const char*> placed;
  if (const auto known = placed.find(key); known != placed.end()) return known->second;
  if (placed.size() >= 4096) placed.clear();  // names from a damaged volume stay bounded
  const char* category = PlaceExtension(key);
  placed.emplace(key, category);
  return category;
}

namespace {

constexpr const char* kCategoryNames[] = {"photo",    "audio",   "video",
                                          "document", "archive", "others"};
ContentTypeNamer content_type_namer = nullptr;

const char* ListOfCategory(std::string_view category) {
  if (category == "photo") return kPhotoExtensions;
  if (category == "audio") return kAudioExtensions;
  if (category == "video") return kVideoExtensions;
  if (category == "document") return kDocumentExtensions;
  if (category == "archive") return kArchiveExtensions;
  return nullptr;
}

}  // namespace

uint32_t ContentCheckValue(bool agrees, std::string_view content_category, int type) {
  uint32_t value = agrees ? kContentAgrees : 0;
  for (uint32_t code = 0; code < std::size(kCategoryNames); ++code) {
    if (content_category == kCategoryNames[code]) value |= (code + 1) << 8;
  }
  if ((value >> 8) != 0 && type >= 0 && type < 255) value |= static_cast<uint32_t>(type + 1) << 16;
  return value;
}

const char* ContentCategoryOf(const ScanRecord& record) {
  const uint32_t code = (record.content_check >> 8) & 0xFF;
  return code >= 1 && code <= std::size(kCategoryNames) ? kCategoryNames[code - 1] : nullptr;
}

int ContentTypeOf(const ScanRecord& record) {
  if (ContentCategoryOf(record) == nullptr) return -1;
  return static_cast<int>((record.content_check >> 16) & 0xFF) - 1;
}

void SetContentTypeNamer(ContentTypeNamer namer) { content_type_namer = namer; }

std::string ContentExtensionOf(const ScanRecord& record) {
  const int type = ContentTypeOf(record);
  if (type < 0 || content_type_namer == nullptr) return std::string();
  const char* extension = content_type_namer(type);
  return extension == nullptr ? std::string() : std::string(extension);
}

bool NamedByWholeEntry(std::string_view extension) {
  const std::string key = "*." + AsciiLower(extension);
  const char* list = ListOfCategory(CategoryOfName("x." + std::string(extension)));
  if (list == nullptr) return false;
  const std::string_view text(list);
  for (size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
    const size_t end = at + key.size();
    if (end == text.size() || text[end] == '|') return true;
  }
  return Whole("." + AsciiLower(extension)) != nullptr;
}

const char* CategoryOfRecord(const ScanRecord& record) {
  if (const char* content = ContentCategoryOf(record)) return content;
  return CategoryOfName(RecordName(record));
}

bool FilterWantsContent(std::string_view filter, const ScanRecord& record, bool others_wanted) {
  const char* category = ContentCategoryOf(record);
  if (category == nullptr) return false;
  const std::string extension = ContentExtensionOf(record);
  if (!extension.empty()) return FilterWantsExtension(filter, "." + extension, others_wanted);
  const char* list = ListOfCategory(category);
  return list == nullptr ? others_wanted : filter.find(list) != std::string_view::npos;
}

bool IsHiddenPhoto(const ScanRecord& record) {
  if (ContentAgrees(record) || ContentCategoryOf(record) != nullptr) return false;
  const std::string_view name = RecordName(record);
  if (name.find('.') == std::string_view::npos) return false;
  const std::string extension = AsciiLower(ExtensionOf(name));
  if (const WholeExtension* whole = Whole("." + extension)) {
    return std::string_view(whole->category) == "photo";
  }
  return std::string_view(kPhotoExtensions).find(extension) != std::string_view::npos;
}

bool FilterForCategories(const std::string& comma_separated, std::string* filter) {
  filter->clear();
  std::stringstream stream(comma_separated.empty() ? "all" : comma_separated);
  std::string item;
  while (std::getline(stream, item, ',')) {
    item = AsciiLower(item);
    if (item == "photo" || item == "photos") {
      *filter += kPhotoExtensions;
    } else if (item == "audio") {
      *filter += kAudioExtensions;
    } else if (item == "video" || item == "videos") {
      *filter += kVideoExtensions;
    } else if (item == "document" || item == "documents") {
      *filter += kDocumentExtensions;
    } else if (item == "archive" || item == "archives") {
      *filter += kArchiveExtensions;
    } else if (item == "others" || item == "other") {
      *filter += kOtherToken;
    } else if (item == "all") {
      *filter += CategoryText() + "|" + kOtherToken;
    } else {
      return false;
    }
    *filter += "|";
  }
  return true;
}

}  // namespace velmora
