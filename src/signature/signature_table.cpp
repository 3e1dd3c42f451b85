#include "signature/signature_table.h"

#include <deque>
#include <iterator>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/record_text.h"
#include "signature/formats/original_formats.h"
#include "signature/formats/registry.h"
#include "signature/length_rules.h"
#include "signature/simple_identifiers.h"
#include "signature/structured_probes.h"

namespace velmora {

namespace {

namespace id = identify;
namespace len = length;
namespace fmt = formats;

// First bytes a row can accept; "" with count 0 means any.
#define ANY "", 0
#define FIRST(text) text, static_cast<uint8_t>(sizeof(text) - 1)
#define ZERO "\0", 1

constexpr bool kSkip = true;
constexpr bool kNoSkip = false;

const SignatureRow kOriginalRows[kSignatureRowCount] = {
    {"mpeg", 15, id::Mpeg, fmt::MeasureMpeg, ZERO, kSkip},
    {"mpg", 15, id::Mpeg, fmt::MeasureMpeg, ZERO, kSkip},
    {"vob", 15, id::Mpeg, fmt::MeasureMpeg, ZERO, kSkip},
    {"mp4", 18, id::Mp4, len::Mp4, ANY, kSkip},
    {"rmvb", 23, id::RealMedia, len::RealMedia, FIRST("."), kSkip},
    {"rm", 23, id::RealMedia, len::RealMedia, FIRST("."), kSkip},
    {"wmv", 24, id::Asf, len::Asf, FIRST("\x30"), kNoSkip},
    {"asf", 24, id::Asf, len::Asf, FIRST("\x30"), kNoSkip},
    {"wma", 24, id::Asf, len::Asf, FIRST("\x30"), kNoSkip},
    {"swf", 26, id::Swf, len::Swf, FIRST("CF"), kNoSkip},
    {"avi", 22, id::Avi, len::Riff, FIRST("R"), kNoSkip},
    {"flv", 27, id::Flv, fmt::MeasureFlv, FIRST("F"), kSkip},
    {"3gp", 16, id::ThreeGp, len::IsoMedia, ANY, kSkip},
    {"mkv", 19, id::Matroska, len::Matroska, FIRST("\x1A"), kSkip},
    {"ts", 20, probe::TransportStream, probe::TransportStreamLength, FIRST("\x47"), kSkip},
    {"mts", 47, id::Mts, len::ToBoundary4GiB, ANY, kSkip},
    {"mxf", 48, id::Mxf, len::ToBoundary4GiB, FIRST("\x06"), kSkip},
    {"mp3", 12, id::Mp3, fmt::MeasureMp3, FIRST("I"), kSkip},
    {"mid", 13, id::Midi, len::Midi, FIRST("M"), kSkip},
    {"ape", 25, id::Ape, len::Ape, FIRST("M"), kSkip},
    {"wav", 21, id::Wav, len::Riff, FIRST("R"), kNoSkip},
    {"mov", 17, id::QuickTime, len::IsoMedia, ANY, kSkip},
    {"mp2", 11, id::Mp2, len::ToBoundary256MiB, FIRST("\xFF"), kSkip},
    {"mmf", 14, id::Mmf, len::ToBoundary256MiB, FIRST("M"), kSkip},
    {"fla", 44, id::Fla, len::ToBoundary256MiB, FIRST("\xD0"), kSkip},
    {"gif", 31, fmt::IdentifyGif, fmt::MeasureGif, FIRST("G"), kSkip},
    {"bmp", 29, id::Bmp, len::Bmp, FIRST("B"), kNoSkip},
    {"dib", 29, id::Bmp, len::Bmp, FIRST("B"), kNoSkip},
    {"jpg", 10, fmt::IdentifyJpeg, fmt::MeasureJpeg, FIRST("\xFF"), kSkip},
    {"jpeg", 10, fmt::IdentifyJpeg, fmt::MeasureJpeg, FIRST("\xFF"), kSkip},
    {"jpe", 10, fmt::IdentifyJpeg, fmt::MeasureJpeg, FIRST("\xFF"), kSkip},
    {"jfif", 10, fmt::IdentifyJpeg, fmt::MeasureJpeg, FIRST("\xFF"), kSkip},
    {"png", 30, fmt::IdentifyPng, fmt::MeasurePng, FIRST("\x89"), kSkip},
    {"psd", 28, fmt::IdentifyPsd, fmt::MeasurePsd, FIRST("8"), kSkip},
    {"tif", 32, fmt::IdentifyTiff, fmt::MeasureTiff, FIRST("MI"), kSkip},
    {"tiff", 32, fmt::IdentifyTiff, fmt::MeasureTiff, FIRST("MI"), kSkip},
    {"ico", 46, probe::Icon, probe::IconLength, ZERO, kNoSkip},
    {"doc", 0, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"dot", 0, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"wps", 0, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"wpt", 0, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"xls", 3, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"xlt", 3, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"xla", 3, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"et", 3, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"ett", 3, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"ppt", 5, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"pot", 5, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"pps", 5, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"dps", 5, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"dpt", 5, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"ole", 2, probe::CompoundFile, probe::CompoundFileLength, FIRST("\xD0"), kNoSkip},
    {"docx", 1, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"docm", 1, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"dotm", 1, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"dotx", 1, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"xlsx", 4, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"xlsb", 4, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"xlsm", 4, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"xlsx", 4, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"xlam", 4, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"xltx", 4, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"xltm", 4, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"pptx", 6, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"pptm", 6, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"potx", 6, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"potm", 6, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"ppsx", 6, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"ppsm", 6, probe::ZipPackage, probe::ZipPackageLength, ANY, kSkip},
    {"mso07", 7, probe::OfficePackage, probe::ZipPackageLength, ANY, kSkip},
    {"pdf", 8, id::Pdf, fmt::MeasurePdf, FIRST("%"), kSkip},
    {"gz", 36, id::Gzip, fmt::MeasureGzip, FIRST("\x1F"), kSkip},
    {"gzip", 36, id::Gzip, fmt::MeasureGzip, FIRST("\x1F"), kSkip},
    {"7z", 34, id::SevenZip, len::SevenZip, FIRST("7"), kSkip},
    {"zip", 35, id::PlainZip, probe::PlainZipLength, FIRST("P"), kSkip},
    {"rar", 37, id::Rar, len::Rar, FIRST("R"), kSkip},
    {"cab", 33, id::Cab, len::Cab, FIRST("M"), kNoSkip},
    {"exe", 41, id::Exe, nullptr, FIRST("M"), kNoSkip},
    {"dll", 42, id::Dll, nullptr, FIRST("M"), kNoSkip},
    {"sys", 43, id::Sys, nullptr, FIRST("M"), kNoSkip},
    {"gho", 9, id::Ghost, nullptr, FIRST("\xFE"), kNoSkip},
    {"db", 39, id::Sqlite, fmt::MeasureSqlite, FIRST("S"), kSkip},
    {"dbx", 40, id::Dbx, len::ToBoundary2GiB, FIRST("\xCF"), kSkip},
    {"pst", 38, id::Pst, len::ToBoundary2GiB, FIRST("!"), kSkip},
    {"fla", 44, id::Fla, len::ToBoundary256MiB, FIRST("\xD0"), kSkip},
    {"ttf", 45, probe::TrueTypeFont, probe::TrueTypeFontLength, ZERO, kNoSkip},
    {"ico", 46, probe::Icon, probe::IconLength, ZERO, kNoSkip},
};

#undef ANY
#undef FIRST
#undef ZERO

// The original rows, then one row per extension of each registered format, the terminator.
std::vector<SignatureRow> BuildTable() {
  std::vector<SignatureRow> table(std::begin(kOriginalRows), std::end(kOriginalRows));
  static std::deque<std::string> extensions;  // rows point into it; a deque never moves them
  for (const formats::Format* format : formats::RegisteredFormats()) {
    std::istringstream names(std::string(format->extension) + " " +
                             (format->more_extensions == nullptr ? "" : format->more_extensions));
    for (std::string name; names >> name;) {
      extensions.push_back(name);
      table.push_back({extensions.back().c_str(), format->type, format->identify,
                       format->length, format->first_bytes, format->first_byte_count,
                       format->skip_after});
    }
  }
  table.push_back({"", kNoSignatureType, nullptr, nullptr, "", 0, kNoSkip});
  return table;
}

const std::vector<SignatureRow>& Table() {
  static const std::vector<SignatureRow> table = BuildTable();
  return table;
}

}  // namespace

const SignatureRow* SignatureTable() { return Table().data(); }

namespace {

// The first row of each type and of each extension (folded to lower case), found once: both
// are asked for every file a scan meets.
struct RowIndex {
  std::unordered_map<int, const SignatureRow*> by_type;
  std::unordered_map<std::string, std::vector<const SignatureRow*>> by_extension;

  RowIndex() {
    for (const SignatureRow* row = SignatureTable(); row->type != kNoSignatureType; ++row) {
      by_type.emplace(row->type, row);
      by_extension[AsciiLower(row->extension)].push_back(row);
    }
  }
};

const RowIndex& Rows() {
  static const RowIndex index;
  return index;
}

}  // namespace

const SignatureRow* FirstRowOfType(int type) {
  const auto& by_type = Rows().by_type;
  const auto found = by_type.find(type);
  return found == by_type.end() ? nullptr : found->second;
}

const SignatureRow* FindRowByExtension(std::string_view extension) {
  const std::vector<const SignatureRow*>& rows = RowsWithExtension(extension);
  return rows.empty() ? nullptr : rows.front();
}

const std::vector<const SignatureRow*>& RowsWithExtension(std::string_view extension) {
  static const std::vector<const SignatureRow*> none;
  const auto& by_extension = Rows().by_extension;
  const auto found = by_extension.find(AsciiLower(extension));
  return found == by_extension.end() ? none : found->second;
}

}  // namespace velmora
