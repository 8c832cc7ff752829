// The locker controller tool: one window, run until it is closed.
#include <QApplication>

#include "app/fonts.h"
#include "app/form1.h"
#include "app/translations.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Veldoran"));
  veldoran::app::InstallPolishQtTranslation(app);
  veldoran::app::LoadWindowFonts();
  veldoran::app::TForm1 form;
  form.show();
  return QApplication::exec();
}
