#include "tools/cli/report.h"

#include <QJsonDocument>

namespace veldoran::cli {

void Report::Write(std::FILE* to, const QByteArray& bytes) {
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
  std::fputc('\n', to);
  std::fflush(to);
}

void Report::Line(const QString& text) {
  if (!json_) Write(out_, text.toLocal8Bit());
}

void Report::Emit(const QJsonObject& object) {
  if (json_) Write(out_, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void Report::Error(const QString& text) { Write(err_, text.toLocal8Bit()); }

void Report::Finish(int exit_code, const QString& error) {
  if (!error.isEmpty()) Error(error);
  if (!json_) return;
  object_.insert(QStringLiteral("ok"), exit_code == 0);
  if (exit_code != 0) {
    object_.insert(QStringLiteral("exit_code"), exit_code);
    if (!error.isEmpty()) object_.insert(QStringLiteral("error"), error);
  }
  Write(out_, QJsonDocument(object_).toJson(QJsonDocument::Compact));
}

}  // namespace veldoran::cli
