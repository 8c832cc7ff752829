// veldoran-term: a serial terminal for installers, on the port component of the tool.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "term_language.h"
#include "term_window.h"
#include "veldoran/version.h"

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("veldoran-term %s\n", veldoran::kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf(
          "Usage: veldoran-term [--lang en|pl]\n"
          "A serial terminal: pick a COM port and its line settings, open it, type to send,\n"
          "and see what arrives (Windows-1250). The settings are kept between runs; the\n"
          "first start uses the controller's line, 57600 baud 8N1.\n"
          "  --lang en   English texts (the default is Polish, as the tool's window)\n");
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("veldoran-term"));
  QApplication::setApplicationVersion(QString::fromLatin1(veldoran::kVersion));
  const auto language = veldoran::term::LanguageOption(QApplication::arguments());
  if (!language) {
    std::fprintf(stderr, "veldoran-term: --lang needs a language (en or pl)\n");
    return 2;
  }
  if (!veldoran::term::InstallTranslation(app, *language)) {
    std::fprintf(stderr, "veldoran-term: no translation for '%s'; the texts stay English\n",
                 language->toLocal8Bit().constData());
  }
  veldoran::term::TermWindow window(veldoran::win::SystemSerialApi(),
                                    veldoran::win::SystemRegistryApi());
  window.show();
  return QApplication::exec();
}
