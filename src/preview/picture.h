#pragma once

#include <string>

namespace velmora::preview {

// Shown instead of a picture that cannot be decoded or is at most 2 x 2.
constexpr char kPictureFailureText[] = "\r\nCan not preview the picture!";

struct PictureInfo {
  bool ok = false;  // decoded and larger than 2 x 2
  int width = 0;
  int height = 0;
  std::string format;  // as the image reader names it ("png", "jpeg", ...)
};

// Decodes a picture with Qt's image readers (and the installed format plugins),
// in an isolated copy of the process.
PictureInfo ReadPicture(const std::string& path);

// Writes a picture that ReadPicture decoded as PNG to `png_path`; 0 or an error code.
int SavePictureAsPng(const std::string& path, const std::string& png_path);

}  // namespace velmora::preview
