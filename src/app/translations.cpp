#include "app/translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace veldoran::app {

QStringList QtTranslationFolders() {
  return {QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("translations")),
          QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
}

QTranslator* InstallPolishQtTranslation(QCoreApplication& app) {
  const QLocale polish(QLocale::Polish, QLocale::Poland);
  for (const QString& folder : QtTranslationFolders()) {
    // qtbase holds the widgets' texts; qt_pl is the catalogue that includes it.
    for (const QString& name : {QStringLiteral("qtbase"), QStringLiteral("qt")}) {
      auto* translator = new QTranslator(&app);
      if (translator->load(polish, name, QStringLiteral("_"), folder) &&
          QCoreApplication::installTranslator(translator)) {
        return translator;
      }
      delete translator;
    }
  }
  return nullptr;
}

}  // namespace veldoran::app
