#pragma once

#include <QObject>

#include "app/result_browsing.h"

class QWidget;

namespace velmora::gui {

// The file-type page: one box per extension option inside the six group
// boxes, the group options that tick a whole group, and the big buttons
// that flip them. It keeps the choices a search is filtered by.
class TypeOptionsPanel : public QObject {
  Q_OBJECT
 public:
  TypeOptionsPanel(QWidget* skin, QObject* parent);

  const app::TypeChoices& Choices() const { return choices_; }

 private:
  QWidget* skin_;
  app::TypeChoices choices_;
  // Set while a group option ticks its boxes, so they do not each enter themselves.
  bool updating_ = false;
};

}  // namespace velmora::gui
