#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>

#include "app/language_settings.h"
#include "preview/preview_session.h"

class QAbstractButton;
class QAudioOutput;
class QLabel;
class QMediaPlayer;
class QSlider;
class QTextEdit;
class QVideoWidget;

namespace velmora::gui {

// Message keys of the pane beyond the preparation's own.
inline constexpr const char* kMsgPictureFailure = "MSG0906";
inline constexpr const char* kMsgPictureSize = "MSG0907";       // "%d x %d" width, height
inline constexpr const char* kMsgMediaUnavailable = "MSG0908";  // "%s" the reason
inline constexpr const char* kMsgPlay = "MSG0909";
inline constexpr const char* kMsgPause = "MSG0910";

// The preview area of a skin (results page or preview window): "PreviewEdit"
// shows text and pictures scaled to it, "MediaPanel" plays audio and video
// with "BtnPlay", "MediaSlider", "MediaTime" and "MediaState", and
// "PreviewInfo" names the picture's size or the page caption.
class PreviewPane : public QObject {
  Q_OBJECT
 public:
  PreviewPane(QWidget* root, app::LanguageSettings& language);
  ~PreviewPane() override;

  void Show(const preview::PreviewContent& content);
  void ShowText(const QString& text);
  // Stops playback and lets go of the media file, empties the pane.
  void Clear();
  void StopMedia();

  QTextEdit* Edit() const { return edit_; }
  QLabel* Info() const { return info_; }
  QLabel* MediaState() const { return state_; }
  QMediaPlayer* Player() const { return player_; }
  // The picture shown, in its full size (null when none).
  const QImage& Picture() const { return picture_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString Msg(const char* key) const;
  void ShowPicture(const preview::PreviewContent& content);
  void FitPicture();
  void ShowMedia(const preview::PreviewContent& content);
  void ShowMediaProblem(const QString& reason);
  void UpdateTime();

  app::LanguageSettings& language_;
  QTextEdit* edit_;
  // The text view's viewport as it was when the filter went on: compared by address, so
  // events during the view's own destruction never call into the half-destroyed view.
  QObject* viewport_ = nullptr;
  QLabel* info_;
  QWidget* media_panel_;
  QWidget* media_view_;
  QAbstractButton* play_;
  QSlider* slider_;
  QLabel* time_;
  QLabel* state_;
  QImage picture_;
  QMediaPlayer* player_ = nullptr;
  QAudioOutput* audio_ = nullptr;
  QVideoWidget* video_ = nullptr;
};

}  // namespace velmora::gui
