#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

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
  // Asks a running copy to come to the front and to load `images` (absolute
  // paths): kNone when no copy runs, kShown when it raised its window (and
  // took the images), kNoWindow when it has none yet.
  HandOver TryHandOver(int timeout_ms = 2000, const QStringList& images = {}) const;
  // Starts listening; false when the socket cannot be made.
  bool Listen();
  // Whether this copy has a window to raise (answered to a later start).
  void SetHasWindow(bool has) { has_window_ = has; }

 signals:
  void Activated();
  // A later start named these image files.
  void ImagesHandedOver(const QStringList& images);

 private:
  QString name_;
  QLocalServer server_;
  bool has_window_ = false;
};

}  // namespace velmora::gui
