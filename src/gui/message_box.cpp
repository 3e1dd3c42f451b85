#include "gui/message_box.h"

#include <QAbstractButton>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "gui/skin.h"

namespace velmora::gui {
namespace {

struct BoxSkin {
  const char* file;
  const char* title_key;
};

BoxSkin SkinOf(BoxKind kind) {
  switch (kind) {
    case BoxKind::kConfirm: return {"MessageBox_Confirm.ui", "MSG0402"};
    case BoxKind::kInformation: return {"MessageBox_Information.ui", "MSG0403"};
    case BoxKind::kWarning: return {"MessageBox_Warning.ui", "MSG0405"};
    case BoxKind::kQuestion: return {"MessageBox_Question.ui", "MSG0404"};
    default: return {"MessageBox_Error.ui", "MSG0401"};
  }
}

}  // namespace

MessageBox::MessageBox(BoxKind kind, const QString& text, app::LanguageSettings& language,
                       QWidget* owner)
    : QDialog(owner) {
  const BoxSkin skin = SkinOf(kind);
  setObjectName("MessageBox");
  QWidget* body = LoadSkin(skin.file, this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(body);
  setStyleSheet(SkinStyleSheet());
  ApplyTexts(body, language.Section("MessageBox"));
  const QString title = Q(app::Lookup(language.Section("Messages"), skin.title_key));
  Control<QLabel>(body, "title")->setText(title);
  Control<QLabel>(body, "message")->setText(text);
  setWindowTitle(title);
  connect(Control<QAbstractButton>(body, "okbtn"), &QAbstractButton::clicked, this,
          [this] { done(1); });
  connect(Control<QAbstractButton>(body, "closebtn"), &QAbstractButton::clicked, this,
          [this] { reject(); });
  if (auto* cancel = body->findChild<QAbstractButton*>("cancelbtn")) {
    connect(cancel, &QAbstractButton::clicked, this, [this] { done(2); });
  }
  FitToText();
}

// At least the skin's 400 x 160; wider for long lines (up to about half the
// screen), then as high as the wrapped text needs.
void MessageBox::FitToText() {
  ensurePolished();  // the skin's style sheet sets the font the text is measured in
  auto* message = findChild<QLabel*>("message");
  const QSize skin(400, 160);
  int widest = 0;
  for (const QString& line : message->text().split('\n')) {
    widest = std::max(widest, message->fontMetrics().horizontalAdvance(line));
  }
  const QScreen* screen = this->screen();
  const int limit = std::max(skin.width(), screen ? screen->availableGeometry().width() / 2 : 640);
  // What surrounds the message (icon, margins) stays as the skin lays it out.
  const int around = std::max(0, layout()->sizeHint().width() - message->sizeHint().width());
  const int width = std::clamp(widest + around + 8, skin.width(), limit);
  layout()->activate();
  const int height = std::max(skin.height(), layout()->totalHeightForWidth(width));
  resize(width, height);
}

void MessageBox::SetButtonTexts(const QString& ok, const QString& cancel) {
  if (auto* button = findChild<QAbstractButton*>("okbtn"); button && !ok.isEmpty())
    button->setText(ok);
  if (auto* button = findChild<QAbstractButton*>("cancelbtn"); button && !cancel.isEmpty()) {
    button->setText(cancel);
  }
  FitToText();
}

QString MessageBox::Text() const { return findChild<QLabel*>("message")->text(); }

bool Ask(BoxKind kind, const QString& text, app::LanguageSettings& language, QWidget* owner) {
  MessageBox box(kind, text, language, owner);
  return box.exec() == 1;
}

Choice AskWithButtons(BoxKind kind, const QString& text, const QString& ok, const QString& cancel,
                      app::LanguageSettings& language, QWidget* owner) {
  MessageBox box(kind, text, language, owner);
  box.SetButtonTexts(ok, cancel);
  if (box.exec() == 1) return Choice::kOk;
  return box.Dismissed() ? Choice::kDismissed : Choice::kCancel;
}

}  // namespace velmora::gui
