#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

namespace velmora::app {

// Texts of one language-file section by key.
using TextTable = std::map<std::string, std::string>;

// The text of `key`, empty when the table has none.
std::string Lookup(const TextTable& table, const std::string& key);

// Fills a format text taken from a language file. The file is data, not code:
// each conversion (%s, %d, %u, %c, %I64u, %llu, ...) takes the next argument
// as text, "%%" is a percent sign, a conversion without an argument left gives
// nothing, and anything else stays as written.
std::string FormatText(std::string_view format, std::initializer_list<std::string> args);

// Message keys the workflows show.
namespace msg {
inline constexpr const char* kScanNoEngine = "MSG0504";
inline constexpr const char* kScanStageNumber = "MSG0702";
inline constexpr const char* kScanStageImage = "MSG0703";
inline constexpr const char* kScanPercent = "MSG0704";
inline constexpr const char* kScanEstimating = "MSG0705";
inline constexpr const char* kScanSectors = "MSG0706";
inline constexpr const char* kScanFilesFound = "MSG0707";
inline constexpr const char* kScanTimeLeft = "MSG0708";
inline constexpr const char* kScanCancelQuestion = "MSG0709";
inline constexpr const char* kScanStop = "MSG0710";
inline constexpr const char* kScanKeepGoing = "MSG0711";
inline constexpr const char* kScanStageSource = "MSG0712";
inline constexpr const char* kScanBytes = "MSG0713";
inline constexpr const char* kScanPartial = "MSG0815";
inline constexpr const char* kNothingTicked = "MSG0803";
inline constexpr const char* kTickedSummary = "MSG0804";
inline constexpr const char* kSameVolumeWarning = "MSG0805";
inline constexpr const char* kNodePhoto = "MSG0807";
inline constexpr const char* kNodeAudio = "MSG0808";
inline constexpr const char* kNodeVideo = "MSG0809";
inline constexpr const char* kNodeOffice = "MSG0810";
inline constexpr const char* kNodeArchive = "MSG0811";
inline constexpr const char* kNodeOthers = "MSG0812";
inline constexpr const char* kExistingNeedsRescan = "MSG0814";
// "%s Files (%d)": a group no option names, by its extension and count.
inline constexpr const char* kOtherGroupNode = "MSG0816";
inline constexpr const char* kRecoverPercent = "MSG1101";
inline constexpr const char* kRecoverCounts = "MSG1102";
inline constexpr const char* kRecoverCancelQuestion = "MSG1103";
inline constexpr const char* kSearchStageNumber = "MSG1202";
inline constexpr const char* kSearchStageImage = "MSG1203";
inline constexpr const char* kSearchPercent = "MSG1204";
inline constexpr const char* kSearchCancelQuestion = "MSG1205";
inline constexpr const char* kResumeQuestion = "MSG1206";
inline constexpr const char* kResumeContinue = "MSG1210";
inline constexpr const char* kResumeStartOver = "MSG1211";
inline constexpr const char* kAboutVersion = "MSG1212";
inline constexpr const char* kOpenFolderFailed = "MSG1104";
inline constexpr const char* kQuitDuringScan = "MSG0714";
}  // namespace msg

}  // namespace velmora::app
