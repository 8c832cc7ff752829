#include "term_language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace veldoran::term {

std::optional<QString> LanguageOption(const QStringList& arguments) {
  QString language = QStringLiteral("pl");
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& arg = arguments[i];
    if (arg == QStringLiteral("--lang")) {
      if (i + 1 >= arguments.size()) return std::nullopt;
      language = arguments[++i];
    } else if (arg.startsWith(QStringLiteral("--lang="))) {
      language = arg.mid(7);
    }
  }
  if (language.isEmpty()) return std::nullopt;
  return language;
}

bool InstallTranslation(QCoreApplication& app, const QString& language) {
  if (language == QStringLiteral("en")) return true;
  auto* own = new QTranslator(&app);
  if (!own->load(QStringLiteral(":/i18n/veldoran-term_") + language)) {
    delete own;
    return false;
  }
  QCoreApplication::installTranslator(own);
  // The toolkit's own texts (standard buttons), where Qt's translation is installed.
  auto* qt = new QTranslator(&app);
  if (qt->load(QStringLiteral("qtbase_") + language,
               QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(qt);
  } else {
    delete qt;
  }
  return true;
}

}  // namespace veldoran::term
