// The terminal's language: Polish, as the tool's window, unless English is asked for on the
// command line (--lang en).
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QCoreApplication;

namespace veldoran::term {

// The language asked for with "--lang xx" or "--lang=xx": "pl" without the option, nothing
// when its value is missing.
std::optional<QString> LanguageOption(const QStringList& arguments);

// Installs the terminal's translation and Qt's own for `language` ("pl"); English needs none.
// False when the terminal's translation is missing.
bool InstallTranslation(QCoreApplication& app, const QString& language);

}  // namespace veldoran::term
