// The site database on the window: beside each locker's name on "Szafki" whether it holds the
// current cards, and, on every page while the port is open to a locker that may not, a notice
// naming it. Records each upload's outcome.
#pragma once

#include <QString>
#include <array>

#include "link/user_table.h"
#include "site/uploads.h"

class QLabel;
class QWidget;

namespace veldoran::site {

class SiteDatabase;

// The text shown beside a locker: "aktualne", "nieaktualne (+a / −r)" or "nieznane".
QString StateText(const LockerState& state);
// The notice for the connected locker, empty when its cards are current.
QString NoticeText(int locker, const LockerState& state);

class LockersStatus {
 public:
  // Places the ten state labels on `lockers_page` at x, beside rows 1 to 10 of a grid whose
  // first data row starts at `first_row_y` with rows `row_height` apart; `notice` is the
  // label that carries the notice.
  LockersStatus(SiteDatabase& db, const records::UserTable& users, QWidget* lockers_page, int x,
                int first_row_y, int row_height, QLabel* notice);

  // Records an upload to `locker` and shows the states again.
  void UploadFinished(int locker, bool ok, std::int64_t at);
  // Computes the states again (after the users changed).
  void Refresh();
  // Shows or hides the notice: `connected` the port is open, to `locker`.
  void ShowConnection(bool connected, int locker);

  const std::array<LockerState, records::kLockerCount>& states() const { return states_; }
  QLabel* StateLabel(int locker) const { return labels_[static_cast<std::size_t>(locker - 1)]; }

 private:
  SiteDatabase& db_;
  const records::UserTable& users_;
  std::array<QLabel*, records::kLockerCount> labels_{};
  QLabel* notice_;
  std::array<LockerState, records::kLockerCount> states_{};
  bool connected_ = false;
  int locker_ = 0;
};

}  // namespace veldoran::site
