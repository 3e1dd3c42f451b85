#include "gui/type_options_panel.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGridLayout>

#include "gui/skin.h"

namespace velmora::gui {
namespace {

constexpr const char* kGroupSuffixes[] = {"Photo", "Audio", "Video", "Office", "Zip", "Other"};

QWidget* OptionsBox(const QWidget* skin, const char* suffix) {
  return Control<QWidget>(skin, (QString("Options") + suffix).toLatin1().constData());
}

}  // namespace

TypeOptionsPanel::TypeOptionsPanel(QWidget* skin, QObject* parent) : QObject(parent), skin_(skin) {
  for (const char* suffix : kGroupSuffixes) {
    const std::string group = std::string("FileType") + suffix;
    auto* grid = qobject_cast<QGridLayout*>(OptionsBox(skin_, suffix)->layout());
    int index = 0;
    for (const app::TypeOption& option : app::TypeOptions()) {
      if (option.group != group) continue;
      auto* box = new QCheckBox(Q(option.text));
      box->setObjectName(Q(option.name));
      box->setProperty("extensions", Q(option.extensions));
      box->setChecked(choices_.IsTicked(option.name));
      grid->addWidget(box, index / 3, index % 3);
      ++index;
      connect(box, &QCheckBox::toggled, this, [this, name = option.name](bool on) {
        if (!updating_) choices_.SetOption(name, on);
      });
    }
    const QString group_option = QString("Opt%1File").arg(suffix);
    auto* whole = Control<QCheckBox>(skin_, group_option.toLatin1().constData());
    connect(whole, &QCheckBox::toggled, this, [this, group, suffix](bool on) {
      choices_.SetGroup(group, on);
      updating_ = true;
      for (QCheckBox* box : OptionsBox(skin_, suffix)->findChildren<QCheckBox*>())
        box->setChecked(on);
      updating_ = false;
    });
    auto* big = Control<QAbstractButton>(skin_, (QString("Btn") + suffix).toLatin1().constData());
    connect(big, &QAbstractButton::clicked, this, [whole, big] {
      whole->setChecked(!whole->isChecked());
      big->setChecked(whole->isChecked());
    });
  }
}

}  // namespace velmora::gui
