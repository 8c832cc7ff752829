// The locker controller tool: one window, run until it is closed.
#include <QApplication>
#include <QIcon>

#include "app/command_line.h"
#include "app/fonts.h"
#include "app/form1.h"
#include "app/translations.h"
#include "veldoran/version.h"

int main(int argc, char* argv[]) {
  // --help, --version and a wrong argument are answered before QApplication, which needs a
  // display.
  if (const auto exit =
          veldoran::app::CheckArgumentsBeforeApplication(veldoran::app::RawArguments(argc, argv))) {
    return veldoran::app::Finish(*exit);
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Veldoran"));
  QApplication::setApplicationVersion(QString::fromLatin1(veldoran::kVersion));
  // Lets desktops match the window with the menu entry and its icon (Wayland's app id).
  QGuiApplication::setDesktopFileName(QStringLiteral("pl.morvental.Veldoran"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("pl.morvental.Veldoran")));
  if (const auto exit = veldoran::app::CheckRemainingArguments(QApplication::arguments())) {
    return veldoran::app::Finish(*exit);
  }
  veldoran::app::InstallPolishQtTranslation(app);
  veldoran::app::LoadWindowFonts();
  veldoran::app::TForm1 form;
  form.show();
  return QApplication::exec();
}
