#include "app/fonts.h"

#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QRawFont>
#include <QStringList>
#include <string_view>

namespace veldoran::app {
namespace {

const char* const kWineFontFolders[] = {"/usr/share/wine/fonts/", "/opt/wine/share/wine/fonts/"};

// Font families that can stand in for Tahoma, closest metrics first.
const char* const kTahomaStandIns[] = {"DejaVu Sans Condensed", "DejaVu Sans", "Liberation Sans",
                                       "Arial", "Noto Sans"};

bool Installed(const QString& family) {
  return QFontDatabase::families().contains(family, Qt::CaseInsensitive);
}

// The font the toolkit draws `family` with, regular and bold.
QRawFont Resolved(const QString& family, bool bold) {
  QFont font(family);
  font.setPixelSize(16);
  font.setBold(bold);
  return QRawFont::fromFont(font);
}

bool WholeInBothWeights(const QString& family) {
  for (const bool bold : {false, true}) {
    const QRawFont raw = Resolved(family, bold);
    if (!raw.isValid() || !HasPolishLetters(raw)) return false;
  }
  return true;
}

void LoadWineCopy(const char* file) {
  for (const char* dir : kWineFontFolders) {
    const QString path = QString::fromLatin1(dir) + QString::fromLatin1(file);
    if (QFile::exists(path) && QFontDatabase::addApplicationFont(path) >= 0) return;
  }
}

}  // namespace

bool HasPolishLetters(const QRawFont& font) {
  for (const char16_t c : std::u16string_view(kPolishLetters)) {
    if (!font.supportsCharacter(QChar(c))) return false;
  }
  return true;
}

QString FontVendor(const QRawFont& font) {
  // OS/2 table: achVendID, four characters at offset 58.
  const QByteArray os2 = font.fontTable("OS/2");
  return os2.size() >= 62 ? QString::fromLatin1(os2.mid(58, 4)).trimmed() : QString();
}

void LoadWindowFonts() {
  const QString sans_serif = QStringLiteral("MS Sans Serif");
  if (!Installed(sans_serif)) LoadWineCopy("ms_sans_serif.ttf");

  const QString tahoma = QStringLiteral("Tahoma");
  if (Installed(tahoma)) return;  // the system's own copy
  for (const char* stand_in : kTahomaStandIns) {
    const QString family = QString::fromLatin1(stand_in);
    if (Installed(family) && WholeInBothWeights(family)) {
      QFont::insertSubstitution(tahoma, family);
      return;
    }
  }
}

}  // namespace veldoran::app
