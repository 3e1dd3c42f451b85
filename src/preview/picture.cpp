#include "preview/picture.h"

#include <QImageReader>
#include <QImageWriter>
#include <cmath>

#include "preview/picture_image.h"
#include "storage/error_codes.h"

namespace velmora::preview {

namespace {

constexpr int kAllocationLimitMb = 256;
constexpr double kMaxPixels = 40'000'000.0;  // beyond this the picture is read scaled down

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

PictureInfo ReadPicture(const std::string& path) {
  PictureInfo info;
  info.format = QImageReader::imageFormat(QString::fromStdString(path)).toStdString();
  const QImage image = LoadPicture(path);
  if (image.isNull()) return info;
  info.width = image.width();
  info.height = image.height();
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
