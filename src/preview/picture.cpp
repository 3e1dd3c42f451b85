#include "preview/picture.h"

#include <QImageReader>
#include <QImageWriter>
#include <chrono>
#include <cmath>
#include <sstream>

#include "preview/isolated_run.h"
#include "preview/picture_image.h"
#include "storage/error_codes.h"

namespace velmora::preview {

namespace {

constexpr int kAllocationLimitMb = 256;
constexpr double kMaxPixels = 40'000'000.0;  // beyond this the picture is read scaled down
constexpr std::chrono::milliseconds kDecodeTime{10000};

}  // namespace

QImage LoadPicture(const std::string& path) {
  QImageReader::setAllocationLimit(kAllocationLimitMb);
  QImageReader reader(QString::fromStdString(path));
  reader.setAutoTransform(true);
  const QSize size = reader.size();
  if (size.isValid()) {
    const double pixels = static_cast<double>(size.width()) * size.height();
    if (pixels > kMaxPixels && reader.supportsOption(QImageIOHandler::ScaledSize)) {
      const double factor = std::sqrt(kMaxPixels / pixels);
      reader.setScaledSize(QSize(std::max(1, static_cast<int>(size.width() * factor)),
                                 std::max(1, static_cast<int>(size.height() * factor))));
    }
  }
  return reader.read();
}

// Decoders meet untrusted bytes: a picture is first decoded in an isolated
// copy, and only one that decoded there is ever decoded in this process.
PictureInfo ReadPicture(const std::string& path) {
  PictureInfo info;
  std::string probe;
  const bool decoded = RunIsolated(
      [&path](std::string* out) {
        const QImage image = LoadPicture(path);
        if (image.isNull()) return false;
        *out = std::to_string(image.width()) + " " + std::to_string(image.height()) + " " +
               QImageReader::imageFormat(QString::fromStdString(path)).toStdString();
        return true;
      },
      kDecodeTime, &probe);
  if (!decoded) return info;
  std::istringstream fields(probe);
  fields >> info.width >> info.height >> info.format;
  info.ok = info.width > 2 || info.height > 2;
  return info;
}

int SavePictureAsPng(const std::string& path, const std::string& png_path) {
  const QImage image = LoadPicture(path);
  if (image.isNull()) return kErrInvalidParameter;
  QImageWriter writer(QString::fromStdString(png_path), "png");
  return writer.write(image) ? kSuccess : kErrWriteFault;
}

}  // namespace velmora::preview
