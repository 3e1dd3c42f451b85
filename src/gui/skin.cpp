#include "gui/skin.h"

#include <QAbstractButton>
#include <QAction>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QTreeWidget>
#include <QUiLoader>
#include <cstdio>
#include <cstdlib>

namespace velmora::gui {
namespace {

QString& Folder() {
  static QString folder = qEnvironmentVariable("VELMORA_SKIN_DIR");
  return folder;
}

void SetItemTexts(QTreeWidgetItem* item, const QString& name, const QString& text) {
  if (item->data(0, kNameRole).toString() == name) item->setText(0, text);
  for (int i = 0; i < item->childCount(); ++i) SetItemTexts(item->child(i), name, text);
}

void SetHeaderText(QTreeWidget* tree, const QString& name, const QString& text) {
  const QStringList columns = tree->property("columns").toString().split('|');
  const auto column = static_cast<int>(columns.indexOf(name));
  if (column >= 0) tree->headerItem()->setText(column, text);
}

// A form whose top is a dialog, embedded in a window, would take Escape for
// itself and hide, leaving its window open and empty: Escape goes to the window.
class EscapeToWindow : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress ||
        static_cast<QKeyEvent*>(event)->key() != Qt::Key_Escape) {
      return false;
    }
    auto* form = static_cast<QWidget*>(watched);
    if (auto* window = qobject_cast<QDialog*>(form->window()); window && window != form) {
      window->reject();
    }
    return true;
  }
};

}  // namespace

void SetSkinFolder(const QString& folder) { Folder() = folder; }

QString SkinPath(const QString& file) {
  if (!Folder().isEmpty()) {
    const QString path = Folder() + "/" + file;
    if (QFileInfo::exists(path)) return path;
  }
  return ":/skin/" + file;
}

QWidget* LoadSkin(const QString& file, QWidget* parent) {
  QFile form(SkinPath(file));
  if (!form.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "velmora-gui: skin %s cannot be read\n", qPrintable(form.fileName()));
    return nullptr;
  }
  QUiLoader loader;
  QWidget* widget = loader.load(&form, parent);
  if (!widget) {
    std::fprintf(stderr, "velmora-gui: skin %s: %s\n", qPrintable(form.fileName()),
                 qPrintable(loader.errorString()));
  } else if (parent) {
    // A form whose top is a dialog would otherwise be a window of its own.
    widget->setWindowFlags(Qt::Widget);
    if (qobject_cast<QDialog*>(widget)) widget->installEventFilter(new EscapeToWindow(widget));
  }
  return widget;
}

QString SkinStyleSheet() {
  QFile file(SkinPath("style.qss"));
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void ApplyTexts(QWidget* root, const app::TextTable& section) {
  const QList<QTreeWidget*> trees = root->findChildren<QTreeWidget*>();
  for (const auto& [key, value] : section) {
    const QString name = Q(key);
    const QString text = Q(value);
    for (QObject* control : root->findChildren<QObject*>(name)) {
      if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(text);
      } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(text);
      } else if (auto* action = qobject_cast<QAction*>(control)) {
        action->setText(text);
      } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
        group->setTitle(text);
      }
    }
    if (root->objectName() == name && root->isWindow()) root->setWindowTitle(text);
    for (QTreeWidget* tree : trees) {
      for (int i = 0; i < tree->topLevelItemCount(); ++i)
        SetItemTexts(tree->topLevelItem(i), name, text);
      SetHeaderText(tree, name, text);
    }
  }
}

}  // namespace velmora::gui
