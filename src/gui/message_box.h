#pragma once

#include <QDialog>
#include <QString>

#include "app/language_settings.h"

namespace velmora::gui {

// The five kinds of skinned message box; any other value shows an error box.
enum class BoxKind { kError = 0, kConfirm = 1, kInformation = 2, kWarning = 3, kQuestion = 4 };

// A modal message box from its skin, sized to its text; exec() gives 1 for OK,
// 2 for Cancel, close or Escape.
class MessageBox : public QDialog {
  Q_OBJECT
 public:
  MessageBox(BoxKind kind, const QString& text, app::LanguageSettings& language,
             QWidget* owner = nullptr);
  QString Text() const;
  // Buttons that say what they do ("Stop" / "Keep scanning"); an empty text keeps the skin's.
  void SetButtonTexts(const QString& ok, const QString& cancel);
  // Whether the box was closed without a choice (close button or Escape), not by Cancel.
  bool Dismissed() const { return dismissed_; }

  void reject() override {
    dismissed_ = true;
    done(2);
  }

 private:
  void FitToText();
  bool dismissed_ = false;
};

// Shows a box and waits for the answer: true for OK.
bool Ask(BoxKind kind, const QString& text, app::LanguageSettings& language, QWidget* owner);

// What a question with its own button texts was answered.
enum class Choice { kOk, kCancel, kDismissed };
Choice AskWithButtons(BoxKind kind, const QString& text, const QString& ok, const QString& cancel,
                      app::LanguageSettings& language, QWidget* owner);

}  // namespace velmora::gui
