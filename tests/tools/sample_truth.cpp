#include "tools/sample_truth.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "engine/categories.h"
#include "support/content_gen.h"

namespace velmora::tools {

namespace {

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
  if (needle.empty()) return false;
  return std::search(haystack.begin(), haystack.end(),
                     std::boyer_moore_horspool_searcher(needle.begin(), needle.end())) !=
         haystack.end();
}

}  // namespace

const SampleImage* SampleSet::Find(const std::string& image) const {
  for (const auto& candidate : images) {
    if (candidate.image == image) return &candidate;
  }
  return nullptr;
}

std::vector<SampleFile> FilesOf(const testing::VolumeTruth& truth) {
  std::vector<SampleFile> files;
  for (const testing::TruthEntry* entry : truth.Files()) {
    if (!entry->stream.empty()) continue;
    files.push_back(SampleFile{entry->path, entry->name, entry->size, entry->md5, entry->deleted,
                               entry->data_intact, CategoryOfName(entry->name)});
  }
  return files;
}

void MarkAllLostAfterFormat(testing::VolumeTruth* truth,
                            const std::map<std::string, std::vector<uint8_t>>& resident_content) {
  std::vector<uint8_t> image;  // read only when a resident file needs it
  for (auto& entry : truth->entries) {
    if (entry.path == "/") continue;
    entry.deleted = true;
    if (entry.is_dir || entry.size == 0) continue;
    if (!entry.extents.empty() && !entry.compressed) {
      std::vector<uint8_t> content;
      entry.data_intact =
          testing::ReadExtents(truth->image_path, entry.extents, entry.size, &content) &&
          content.size() == entry.size && testing::Md5Hex(content) == entry.md5;
    } else if (entry.resident && entry.data_intact) {
      // The record may have survived the format; its data is then still in the image.
      if (image.empty()) image = ReadWholeFile(truth->image_path);
      const auto content = resident_content.find(entry.path);
      entry.data_intact = content != resident_content.end() && Contains(image, content->second);
    } else {
      entry.data_intact = false;
    }
  }
}

void WriteSampleSet(const SampleSet& set, const std::string& json_path) {
  nlohmann::json images = nlohmann::json::array();
  for (const auto& image : set.images) {
    nlohmann::json files = nlohmann::json::array();
    for (const auto& file : image.files) {
      files.push_back({{"path", file.path},
                       {"name", file.name},
                       {"size", file.size},
                       {"md5", file.md5},
                       {"deleted", file.deleted},
                       {"data_intact", file.data_intact},
                       {"category", file.category},
                       {"expected", file.Expected()}});
    }
    images.push_back({{"image", image.image},
                      {"file_system", image.file_system},
                      {"description", image.description},
                      {"files", files}});
  }
  const nlohmann::json out = {{"set", set.name}, {"images", images}};
  std::ofstream stream(json_path);
  stream << out.dump(2) << "\n";
  if (!stream) throw std::runtime_error("cannot write " + json_path);
}

SampleSet ReadSampleSet(const std::string& json_path) {
  std::ifstream stream(json_path);
  if (!stream) throw std::runtime_error("cannot read " + json_path);
  nlohmann::json in;
  try {
    in = nlohmann::json::parse(stream);
    SampleSet set;
    set.name = in.at("set").get<std::string>();
    for (const auto& image_json : in.at("images")) {
      SampleImage image;
      image.image = image_json.at("image").get<std::string>();
      image.file_system = image_json.value("file_system", "");
      image.description = image_json.value("description", "");
      for (const auto& file_json : image_json.at("files")) {
        SampleFile file;
        file.path = file_json.at("path").get<std::string>();
        file.name = file_json.at("name").get<std::string>();
        file.size = file_json.at("size").get<uint64_t>();
        file.md5 = file_json.at("md5").get<std::string>();
        file.deleted = file_json.at("deleted").get<bool>();
        file.data_intact = file_json.at("data_intact").get<bool>();
        file.category = file_json.value("category", std::string(CategoryOfName(file.name)));
        image.files.push_back(std::move(file));
      }
      set.images.push_back(std::move(image));
    }
    return set;
  } catch (const nlohmann::json::exception& error) {
    throw std::runtime_error(json_path + ": " + error.what());
  }
}

}  // namespace velmora::tools
