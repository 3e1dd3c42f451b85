#pragma once

#include <QApplication>
#include <QDir>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "gui/message_box.h"

namespace velmora::testing {

// Saves a picture of `widget` as NAME.png in $VELMORA_SCREENSHOTS, when it is set.
inline void Shot(QWidget* widget, const QString& name) {
  const QString folder = qEnvironmentVariable("VELMORA_SCREENSHOTS");
  if (folder.isEmpty()) return;
  QDir().mkpath(folder);
  widget->grab().save(folder + "/" + name + ".png");
}

// Runs `action` on the next modal message box once it is up; the wait belongs to `owner`, so
// one for a box that never came ends with it.
inline void OnNextBox(QObject* owner, std::function<void(gui::MessageBox*)> action) {
  auto* timer = new QTimer(owner);
  QObject::connect(timer, &QTimer::timeout, [timer, action] {
    if (auto* box = qobject_cast<gui::MessageBox*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      action(box);
    }
  });
  timer->start(10);
}

}  // namespace velmora::testing
