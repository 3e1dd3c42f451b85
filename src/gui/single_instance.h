#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace velmora::gui {

// One running copy per user: the first listens on a local socket, a later
// start hands over to it and ends.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // The socket name for this user (tests pass a name of their own).
  static QString DefaultName();

  explicit SingleInstance(QString name = DefaultName(), QObject* parent = nullptr);
  ~SingleInstance() override;

  enum class HandOver { kNone, kShown, kNoWindow };
  // Asks a running copy to come to the front: kNone when no copy runs,
  // kShown when it raised its window, kNoWindow when it has none yet.
  HandOver TryHandOver(int timeout_ms = 2000) const;
  // Starts listening; false when the socket cannot be made.
  bool Listen();
  // Whether this copy has a window to raise (answered to a later start).
  void SetHasWindow(bool has) { has_window_ = has; }

 signals:
  void Activated();

 private:
  QString name_;
  QLocalServer server_;
  bool has_window_ = false;
};

}  // namespace velmora::gui
