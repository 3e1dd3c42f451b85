#pragma once

// For the windows: the decoded picture itself. Only code that links QtGui
// includes this header.
#include <QImage>
#include <string>

namespace velmora::preview {

// The decoded picture (null when unreadable); very large pictures are read
// scaled down so their pixels stay within the reader's allocation limit.
// Call it for files ReadPicture accepted: that one decodes in isolation first.
QImage LoadPicture(const std::string& path);

}  // namespace velmora::preview
