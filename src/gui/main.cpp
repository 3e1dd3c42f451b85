// velmora-gui: the desktop face of the recovery workflows.
#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>
#include <utility>

#include "app/language_settings.h"
#include "engine/scan_index.h"
#include "gui/crash_report.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/progress_window.h"
#include "gui/single_instance.h"
#include "gui/skin.h"

using namespace velmora;

int main(int argc, char** argv) {
  gui::InstallCrashHandler(ScanLogDirectory());
  QApplication application(argc, argv);
  QApplication::setApplicationName("velmora-gui");

  QCommandLineParser parser;
  parser.setApplicationDescription("Velmora File Recovery");
  parser.addHelpOption();
  QCommandLineOption skin_dir("skin-dir", "Load the skin .ui files from <folder> first.", "folder");
  parser.addOption(skin_dir);
  parser.addPositionalArgument("image", "Image files to show in the disk list.", "[image...]");
  parser.process(application);
  if (parser.isSet(skin_dir)) gui::SetSkinFolder(parser.value(skin_dir));

  app::LanguageSettings& language = app::LanguageSettings::Instance();
  gui::SingleInstance instance;
  QStringList images;
  for (const QString& image : parser.positionalArguments())
    images << QFileInfo(image).absoluteFilePath();
  switch (instance.TryHandOver(2000, images)) {
    case gui::SingleInstance::HandOver::kShown: return 0;
    case gui::SingleInstance::HandOver::kNoWindow:
      gui::Ask(gui::BoxKind::kInformation, "Velmora File Recovery is running.", language, nullptr);
      return 0;
    case gui::SingleInstance::HandOver::kNone: break;
  }
  instance.Listen();

  gui::MainWindow window(language);
  for (const QString& image : images) window.LoadImage(image);
  window.RefreshDisks();
  QObject::connect(&instance, &gui::SingleInstance::Activated, &window, [&window] {
    window.showNormal();
    window.raise();
    window.activateWindow();
  });
  // Images named by a later start; held while a modal window (a scan) runs.
  QStringList handed;
  QTimer retry;
  retry.setSingleShot(true);
  auto load_handed = [&] {
    if (QApplication::activeModalWidget() || gui::ProgressWindow::Running())
      return retry.start(500);
    const QStringList now = std::exchange(handed, {});
    for (const QString& image : now) window.LoadImage(image);
  };
  QObject::connect(&retry, &QTimer::timeout, &window, load_handed);
  QObject::connect(&instance, &gui::SingleInstance::ImagesHandedOver, &window,
                   [&](const QStringList& images) {
                     handed << images;
                     load_handed();
                   });
  window.show();
  instance.SetHasWindow(true);
  return application.exec();
}
