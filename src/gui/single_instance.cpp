#include "gui/single_instance.h"

#include <QLocalSocket>
#include <unistd.h>

namespace velmora::gui {

QString SingleInstance::DefaultName() {
  return QString("Velmora_File_Recovery_2014_For_Linux-%1").arg(::getuid());
}

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->readAll().contains("show")) return;
        if (has_window_) emit Activated();
        socket->write(has_window_ ? "shown\n" : "nowindow\n");
        socket->flush();
      });
    }
  });
}

SingleInstance::~SingleInstance() { server_.close(); }

SingleInstance::HandOver SingleInstance::TryHandOver(int timeout_ms) const {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(timeout_ms)) return HandOver::kNone;
  socket.write("show\n");
  socket.flush();
  if (!socket.waitForReadyRead(timeout_ms)) return HandOver::kNoWindow;
  return socket.readAll().startsWith("shown") ? HandOver::kShown : HandOver::kNoWindow;
}

bool SingleInstance::Listen() {
  // A socket left by a copy that crashed would block us for good.
  QLocalServer::removeServer(name_);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  return server_.listen(name_);
}

}  // namespace velmora::gui
