#include "gui/single_instance.h"

#include <QLocalSocket>
#include <QUrl>
#include <memory>
#include <unistd.h>

namespace velmora::gui {

QString SingleInstance::DefaultName() {
  return QString("Velmora_File_Recovery_2014_For_Linux-%1").arg(::getuid());
}

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      // One request per connection: "open <url>" lines, then "show".
      auto buffer = std::make_shared<QByteArray>();
      connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        if (buffer->size() > (1 << 20)) return socket->abort();  // not one of ours
        const QList<QByteArray> lines = buffer->split('\n');
        if (!lines.contains("show")) return;
        QStringList images;
        for (const QByteArray& line : lines) {
          if (!line.startsWith("open ")) continue;
          const QUrl url = QUrl::fromEncoded(line.mid(5));
          if (url.isLocalFile()) images << url.toLocalFile();
        }
        if (has_window_) {
          emit Activated();
          if (!images.isEmpty()) emit ImagesHandedOver(images);
        }
        socket->write(has_window_ ? "shown\n" : "nowindow\n");
        socket->flush();
      });
    }
  });
}

SingleInstance::~SingleInstance() { server_.close(); }

SingleInstance::HandOver SingleInstance::TryHandOver(int timeout_ms,
                                                     const QStringList& images) const {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(timeout_ms)) return HandOver::kNone;
  // Encoded as URLs, so no name can break the lines.
  for (const QString& image : images)
    socket.write("open " + QUrl::fromLocalFile(image).toEncoded() + "\n");
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
