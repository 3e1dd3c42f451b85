#include "gui/preview_pane.h"

#include <QAbstractButton>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QEvent>
#include <QLabel>
#include <QLayout>
#include <QMediaPlayer>
#include <QPluginLoader>
#include <QSlider>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextImageFormat>
#include <QUrl>
#include <QVideoWidget>
#include <algorithm>

#include "gui/skin.h"
#include "preview/picture_image.h"

namespace velmora::gui {
namespace {

const QUrl kPictureName("velmora-preview:picture");

// Texts of the preview carry Windows line breaks; the pane wants plain ones.
QString PaneText(const std::string& text) {
  QString shown = Q(text);
  shown.replace("\r\n", "\n");
  return shown;
}

// Qt Multimedia ends the process when it finds no backend, so one is looked
// for among the installed plugins before any player is made.
bool MediaBackendInstalled(QString* reason) {
  const QString wanted = qEnvironmentVariable("QT_MEDIA_BACKEND");
  QStringList found;
  for (const QString& base : QCoreApplication::libraryPaths()) {
    const QDir folder(base + "/multimedia");
    for (const QString& file : folder.entryList(QDir::Files)) {
      const QJsonObject meta = QPluginLoader(folder.filePath(file)).metaData();
      if (meta.value("IID").toString() != "org.qt-project.Qt.QPlatformMediaPlugin") continue;
      for (const QJsonValue key : meta.value("MetaData").toObject().value("Keys").toArray()) {
        found << key.toString();
      }
    }
  }
  if (found.isEmpty()) {
    *reason = "no Qt Multimedia backend is installed";
    return false;
  }
  if (!wanted.isEmpty() && !found.contains(wanted)) {
    *reason = QString("the Qt Multimedia backend \"%1\" is not installed").arg(wanted);
    return false;
  }
  return true;
}

QString Clock(qint64 ms) {
  const qint64 seconds = ms / 1000;
  return QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
}

}  // namespace

PreviewPane::PreviewPane(QWidget* root, app::LanguageSettings& language)
    : QObject(root),
      language_(language),
      edit_(Control<QTextEdit>(root, "PreviewEdit")),
      info_(Control<QLabel>(root, "PreviewInfo")),
      media_panel_(Control<QWidget>(root, "MediaPanel")),
      media_view_(Control<QWidget>(root, "MediaView")),
      play_(Control<QAbstractButton>(root, "BtnPlay")),
      slider_(Control<QSlider>(root, "MediaSlider")),
      time_(Control<QLabel>(root, "MediaTime")),
      state_(Control<QLabel>(root, "MediaState")) {
  viewport_ = edit_->viewport();
  viewport_->installEventFilter(this);
  media_panel_->hide();
  info_->hide();
  connect(play_, &QAbstractButton::clicked, this, [this] {
    if (!player_) return;
    if (player_->playbackState() == QMediaPlayer::PlayingState) {
      player_->pause();
    } else {
      player_->play();
    }
  });
  connect(slider_, &QSlider::sliderMoved, this, [this](int position) {
    if (player_) player_->setPosition(position);
  });
}

// The skin's controls may already be gone here: only the player is let go.
PreviewPane::~PreviewPane() {
  if (player_) {
    player_->stop();
    player_->setSource(QUrl());
  }
}

QString PreviewPane::Msg(const char* key) const {
  return Q(app::Lookup(language_.Section("Messages"), key));
}

void PreviewPane::Clear() {
  StopMedia();
  picture_ = QImage();
  edit_->clear();
  info_->clear();
  info_->hide();
}

void PreviewPane::ShowText(const QString& text) {
  Clear();
  edit_->setPlainText(text);
}

void PreviewPane::Show(const preview::PreviewContent& content) {
  using Kind = preview::PreviewContent::Kind;
  switch (content.kind) {
    case Kind::kNothing: return Clear();
    case Kind::kDirectory: return ShowText(Msg(preview::kMsgDirectory));
    case Kind::kText:
      if (content.text == preview::kPictureFailureText) {
        // The language's wording when it has one.
        const QString failure = Msg(kMsgPictureFailure);
        return ShowText(failure.isEmpty() ? PaneText(content.text) : "\n" + failure);
      }
      return ShowText(PaneText(content.text));
    case Kind::kPicture: return ShowPicture(content);
    case Kind::kMedia: return ShowMedia(content);
  }
}

void PreviewPane::ShowPicture(const preview::PreviewContent& content) {
  Clear();
  // ReadPicture decoded this file in isolation first; only then is it decoded here.
  QImage image = preview::LoadPicture(content.picture_path);
  if (image.isNull() || (image.width() <= 2 && image.height() <= 2)) {
    preview::PreviewContent failure;
    failure.kind = preview::PreviewContent::Kind::kText;
    failure.text = preview::kPictureFailureText;
    return Show(failure);
  }
  picture_ = std::move(image);
  FitPicture();
  info_->setText(content.pdf_page ? Msg(preview::kMsgPdfCaption)
                                  : Q(app::FormatText(
                                        app::Lookup(language_.Section("Messages"), kMsgPictureSize),
                                        {std::to_string(content.picture.width),
                                         std::to_string(content.picture.height)})));
  info_->show();
}

// The picture is an image of the text control's document, scaled with its
// proportions kept to fill the visible area.
void PreviewPane::FitPicture() {
  if (picture_.isNull()) return;
  QTextDocument* document = edit_->document();
  const int margin = static_cast<int>(document->documentMargin()) * 2 + 4;
  const QSize room = edit_->viewport()->size() - QSize(margin, margin);
  const double scale = std::min(std::max(1, room.width()) / double(picture_.width()),
                                std::max(1, room.height()) / double(picture_.height()));
  const QSignalBlocker quiet(edit_);
  edit_->clear();
  document->addResource(QTextDocument::ImageResource, kPictureName, picture_);
  QTextCursor cursor(document);
  QTextBlockFormat centred;
  centred.setAlignment(Qt::AlignCenter);
  cursor.setBlockFormat(centred);
  QTextImageFormat format;
  format.setName(kPictureName.toString());
  format.setWidth(std::max(1.0, picture_.width() * scale));
  format.setHeight(std::max(1.0, picture_.height() * scale));
  cursor.insertImage(format);
}

bool PreviewPane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == viewport_ && event->type() == QEvent::Resize && !picture_.isNull()) {
    FitPicture();
  }
  return QObject::eventFilter(watched, event);
}

void PreviewPane::ShowMedia(const preview::PreviewContent& content) {
  Clear();
  edit_->hide();
  media_panel_->show();
  state_->clear();
  play_->setText(Msg(kMsgPlay));
  slider_->setRange(0, 0);
  UpdateTime();
  QString missing;
  if (!player_ && !MediaBackendInstalled(&missing)) {
    ShowMediaProblem(missing);
    return;
  }
  if (!player_) {
    player_ = new QMediaPlayer(this);
    audio_ = new QAudioOutput(this);
    player_->setAudioOutput(audio_);
    connect(player_, &QMediaPlayer::errorOccurred, this,
            [this](QMediaPlayer::Error, const QString& text) { ShowMediaProblem(text); });
    connect(player_, &QMediaPlayer::mediaStatusChanged, this,
            [this](QMediaPlayer::MediaStatus status) {
              if (status == QMediaPlayer::InvalidMedia) ShowMediaProblem(player_->errorString());
            });
    connect(player_, &QMediaPlayer::playbackStateChanged, this,
            [this](QMediaPlayer::PlaybackState state) {
              play_->setText(Msg(state == QMediaPlayer::PlayingState ? kMsgPause : kMsgPlay));
            });
    connect(player_, &QMediaPlayer::durationChanged, this, [this](qint64 duration) {
      slider_->setRange(0, static_cast<int>(std::min<qint64>(duration, INT32_MAX)));
      UpdateTime();
    });
    connect(player_, &QMediaPlayer::positionChanged, this, [this](qint64 position) {
      if (!slider_->isSliderDown())
        slider_->setValue(static_cast<int>(std::min<qint64>(position, INT32_MAX)));
      UpdateTime();
    });
  }
  if (!player_->isAvailable()) {
    ShowMediaProblem("no audio and video support is installed");
    return;
  }
  if (content.audio) {
    player_->setVideoOutput(nullptr);
    if (video_) video_->hide();
  } else {
    if (!video_) {
      video_ = new QVideoWidget(media_view_);
      media_view_->layout()->addWidget(video_);
    }
    video_->show();
    player_->setVideoOutput(video_);
  }
  player_->setSource(QUrl::fromLocalFile(Q(content.media_path)));
  player_->play();
}

void PreviewPane::ShowMediaProblem(const QString& reason) {
  const QString why = reason.isEmpty() ? QString("the file cannot be played") : reason;
  state_->setText(Q(app::FormatText(
      app::Lookup(language_.Section("Messages"), kMsgMediaUnavailable), {why.toStdString()})));
  state_->show();
  play_->setEnabled(player_ && player_->isAvailable() && player_->error() == QMediaPlayer::NoError);
}

void PreviewPane::UpdateTime() {
  const qint64 position = player_ ? player_->position() : 0;
  const qint64 duration = player_ ? player_->duration() : 0;
  time_->setText(Clock(position) + " / " + Clock(duration));
}

void PreviewPane::StopMedia() {
  if (player_) {
    player_->stop();
    // Lets go of the temporary file before it is deleted.
    player_->setSource(QUrl());
  }
  if (video_) video_->hide();
  play_->setEnabled(true);
  slider_->setRange(0, 0);
  state_->clear();
  media_panel_->hide();
  edit_->show();
}

}  // namespace velmora::gui
