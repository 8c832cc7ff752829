// Qt's own texts (standard buttons, the file dialog, its questions) in Polish. The window speaks
// Polish whatever the system locale, so the toolkit's texts are Polish whatever it is as well.
#pragma once

#include <QStringList>

class QCoreApplication;
class QTranslator;

namespace veldoran::app {

// Where Qt's Polish translation is looked for, in order: a "translations" folder beside the
// program (how it is shipped on Windows), then the toolkit's own folder (on Debian,
// qt6-translations-l10n).
QStringList QtTranslationFolders();

// Installs Qt's Polish translation in `app`; the translator, owned by `app`, or null when no
// folder holds it (the toolkit's texts then stay English).
QTranslator* InstallPolishQtTranslation(QCoreApplication& app);

}  // namespace veldoran::app
