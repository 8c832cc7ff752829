#include "link/events_grid.h"

#include "link/event_rows.h"
#include "ui/string_grid.h"

namespace veldoran::link {

void FillEventsGrid(const EventTable& events, int event_count, const ui::TStringGrid& users_grid,
                    ui::TStringGrid& events_grid) {
  // The holders as the users grid shows them now: row slot + 1, surname, first name, code.
  CardHolders holders;
  for (int slot = 0; slot < kCardHolderCount; ++slot) {
    CardHolder& holder = holders[static_cast<std::size_t>(slot)];
    holder.Surname = users_grid.Cell(1, slot + 1);
    holder.FirstName = users_grid.Cell(2, slot + 1);
    holder.CardCode = users_grid.Cell(3, slot + 1);
  }
  const QList<QStringList> rows = EventRows(events, event_count, holders);
  ui::GridUpdate batch(events_grid);
  events_grid.SetRowCount(static_cast<int>(rows.size()) + 1);
  for (int r = 0; r < rows.size(); ++r) {
    for (int c = 0; c < kEventColumns; ++c) events_grid.SetCell(c, r + 1, rows[r][c]);
  }
}

}  // namespace veldoran::link
