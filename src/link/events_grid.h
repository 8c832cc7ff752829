// Copies the event table into the events grid, with the names and card code of the user who
// holds each event's card slot now.
#pragma once

#include "link/event_table.h"

namespace veldoran::ui {
class TStringGrid;
}

namespace veldoran::link {

// Fills `events_grid` with the first `event_count` slots of `events` (at most the table's 1001
// slots; a count of 0 or less leaves one empty row numbered 1). Names and codes come from the
// users grid, row UserSlot + 1.
void FillEventsGrid(const EventTable& events, int event_count, const ui::TStringGrid& users_grid,
                    ui::TStringGrid& events_grid);

}  // namespace veldoran::link
