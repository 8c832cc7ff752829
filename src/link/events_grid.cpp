#include "link/events_grid.h"

#include <algorithm>

#include "ui/string_grid.h"

namespace veldoran::link {

void FillEventsGrid(const EventTable& events, int event_count, const ui::TStringGrid& users_grid,
                    ui::TStringGrid& events_grid) {
  ui::GridUpdate batch(events_grid);
  if (event_count <= 0) {
    events_grid.SetRowCount(2);
    events_grid.SetCell(0, 1, QStringLiteral("1"));
    for (int c = 1; c < 8; ++c) events_grid.SetCell(c, 1, QString());
    return;
  }
  // A status line can report up to 65535 events; the table holds 1001 slots.
  const int rows = std::min(event_count, kEventTableSize);
  events_grid.SetRowCount(rows + 1);
  for (int i = 0; i < rows; ++i) {
    const Tevent& e = events[static_cast<std::size_t>(i)];
    const int row = i + 1;
    // A slot outside the users grid (above 99, or negative) reads as empty cells.
    const int user_row = e.UserSlot >= 0 && e.UserSlot < 100 ? e.UserSlot + 1 : -1;
    events_grid.SetCell(0, row, QString::number(row));
    events_grid.SetCell(1, row, users_grid.Cell(1, user_row));
    events_grid.SetCell(2, row, users_grid.Cell(2, user_row));
    events_grid.SetCell(3, row, e.DateText);
    events_grid.SetCell(4, row, e.TimeText);
    events_grid.SetCell(5, row, QString::number(e.LockerNumber));
    events_grid.SetCell(6, row, e.Location);
    events_grid.SetCell(7, row, users_grid.Cell(3, user_row));
  }
}

}  // namespace veldoran::link
