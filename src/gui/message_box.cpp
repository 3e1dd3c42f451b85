#include "gui/message_box.h"

#include <QAbstractButton>
#include <QLabel>
#include <QVBoxLayout>

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
  resize(400, 160);
  connect(Control<QAbstractButton>(body, "okbtn"), &QAbstractButton::clicked, this, [this] { done(1); });
  connect(Control<QAbstractButton>(body, "closebtn"), &QAbstractButton::clicked, this, [this] { done(2); });
  if (auto* cancel = body->findChild<QAbstractButton*>("cancelbtn")) {
    connect(cancel, &QAbstractButton::clicked, this, [this] { done(2); });
  }
}

QString MessageBox::Text() const { return findChild<QLabel*>("message")->text(); }

bool Ask(BoxKind kind, const QString& text, app::LanguageSettings& language, QWidget* owner) {
  MessageBox box(kind, text, language, owner);
  return box.exec() == 1;
}

}  // namespace velmora::gui
