#pragma once

#include <QDialog>
#include <QString>

#include "app/language_settings.h"

namespace velmora::gui {

// The five kinds of skinned message box; any other value shows an error box.
enum class BoxKind { kError = 0, kConfirm = 1, kInformation = 2, kWarning = 3, kQuestion = 4 };

// A modal message box from its skin; exec() gives 1 for OK, 2 for Cancel or close.
class MessageBox : public QDialog {
  Q_OBJECT
 public:
  MessageBox(BoxKind kind, const QString& text, app::LanguageSettings& language,
             QWidget* owner = nullptr);
  QString Text() const;

  void reject() override { done(2); }
};

// Shows a box and waits for the answer: true for OK.
bool Ask(BoxKind kind, const QString& text, app::LanguageSettings& language, QWidget* owner);

}  // namespace velmora::gui
