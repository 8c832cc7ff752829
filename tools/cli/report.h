// What a command prints: lines of text for a person, or with --json one JSON object for a
// script (and, for a command that runs until stopped, one object a line as things happen).
// Text goes to standard output in the local encoding; errors go to standard error.
#pragma once

#include <QJsonObject>
#include <QString>
#include <cstdio>

namespace veldoran::cli {

class Report {
 public:
  Report(bool json, std::FILE* out = stdout, std::FILE* err = stderr)
      : json_(json), out_(out), err_(err) {}

  bool Json() const { return json_; }

  // A line for a person; nothing with --json.
  void Line(const QString& text);
  // A field of the command's JSON object.
  void Set(const QString& key, const QJsonValue& value) { object_.insert(key, value); }
  // Prints `object` as one line now, with --json (a command that runs until stopped).
  void Emit(const QJsonObject& object);
  // A message for the user on standard error, with --json too.
  void Error(const QString& text);
  // Ends the command: with --json prints its object with "ok" and, on failure, "error" and
  // "exit_code".
  void Finish(int exit_code, const QString& error = {});

 private:
  void Write(std::FILE* to, const QByteArray& bytes);

  bool json_;
  std::FILE* out_;
  std::FILE* err_;
  QJsonObject object_;
};

}  // namespace veldoran::cli
