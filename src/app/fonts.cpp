#include "app/fonts.h"

#include <QFile>
#include <QFontDatabase>
#include <QStringList>

namespace veldoran::app {

void LoadWindowFonts() {
  const QStringList families = QFontDatabase::families();
  const auto have = [&](const char* family) {
    return families.contains(QString::fromLatin1(family), Qt::CaseInsensitive);
  };
  const struct {
    const char* family;
    const char* file;
  } fonts[] = {
      {"Tahoma", "tahoma.ttf"}, {"Tahoma", "tahomabd.ttf"}, {"MS Sans Serif", "ms_sans_serif.ttf"}};
  for (const auto& font : fonts) {
    if (have(font.family)) continue;  // the system's own copy comes first
    for (const char* dir : {"/usr/share/wine/fonts/", "/opt/wine/share/wine/fonts/"}) {
      const QString path = QString::fromLatin1(dir) + QString::fromLatin1(font.file);
      if (QFile::exists(path) && QFontDatabase::addApplicationFont(path) >= 0) break;
    }
  }
}

}  // namespace veldoran::app
