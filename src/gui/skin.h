#pragma once

#include <QString>
#include <QWidget>

#include "app/message_text.h"

namespace velmora::gui {

// Skins are Designer forms kept as resources (":/skin/NAME.ui"); a folder set
// with SetSkinFolder (or VELMORA_SKIN_DIR) replaces them file by file.
void SetSkinFolder(const QString& folder);
QString SkinPath(const QString& file);
// Loads skin `file` as a child of `parent` (null: a top-level widget); null
// with a message on stderr when the form is missing or broken.
QWidget* LoadSkin(const QString& file, QWidget* parent = nullptr);
// The shared style sheet of every skin.
QString SkinStyleSheet();

// Gives every control of `root` named by a key of `section` that text: labels,
// buttons and actions their text, group boxes their title, tree items whose
// name matches their text, and list headers by the column names of their
// "columns" property.
void ApplyTexts(QWidget* root, const app::TextTable& section);

// The control named `name` under `root`; aborts loudly when a skin lacks it,
// since the window logic cannot work without its controls.
template <typename T>
T* Control(const QWidget* root, const char* name) {
  T* control = root->findChild<T*>(QString::fromLatin1(name));
  if (!control) qFatal("skin %s lacks control %s", qPrintable(root->objectName()), name);
  return control;
}

inline QString Q(const std::string& text) { return QString::fromStdString(text); }

// Role under which tree items keep their control name ("NodePhoto", "filetype").
constexpr int kNameRole = Qt::UserRole + 100;

}  // namespace velmora::gui
