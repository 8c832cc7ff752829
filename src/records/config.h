// Config.ini: the locker names (lockers grid, column 1) and the users (the Users table and the
// users grid, kept equal). Read once at start, written back in full after every change.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <filesystem>

#include "link/user_table.h"
#include "records/config_values.h"

class QCheckBox;

namespace veldoran::ui {
class Dialogs;
class TStringGrid;
}  // namespace veldoran::ui

namespace veldoran::ini {
class Document;
}

namespace veldoran::records {

struct ConfigControls {
  ui::TStringGrid* StringGrid2;  // lockers grid
  ui::TStringGrid* StringGrid3;  // users grid
  std::array<QCheckBox*, kLockerCount> CheckBoxes;
};

// ".\Config.ini": the file in the working directory.
std::filesystem::path ConfigPath();

class Config {
 public:
  Config(const ConfigControls& controls, UserTable& users, ui::Dialogs& dialogs,
         std::filesystem::path path = ConfigPath());

  // Reads every value (its default when missing) into the grids and Users, writes the file
  // back so it holds every key, and puts the locker names on the check boxes. A file that can
  // be read but not written still loads in full; the error is shown once.
  void LoadConfig();
  // Writes the locker names and every user. The file changes all at once or not at all; a value
  // it cannot hold is left out, said so, and does not hold up the others.
  void SaveConfig();
  void UpdateLockerCaptions();

 private:
  // Stores every value into `doc`. A value the file cannot hold is left out (the key keeps
  // what the file held) and does not stop the others; returned are the keys left out, each
  // with the reason, for the operator.
  QStringList StoreAll(ini::Document& doc) const;
  // The locker names of the grid and the users, as the file is to hold them.
  ConfigValues GridValues() const;
  bool Write(const ini::Document& doc);
  void ShowWriteError(const QString& reason);
  // The file was written without the values in `refused`.
  void ShowRefused(const QStringList& refused);

  ConfigControls controls_;
  UserTable& users_;
  ui::Dialogs& dialogs_;
  std::filesystem::path path_;
  // The file exists but could not be read at start: saving over it would lose what it holds.
  bool unreadable_ = false;
  QString unreadable_reason_;
};

}  // namespace veldoran::records
