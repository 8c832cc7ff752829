// The events as the events grid shows them and the CSV file saves them, built once for the
// window and for veldoran-cli: from a record to the event, and from the event table and the
// holders of the card slots to the rows.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <array>

#include "link/event_table.h"
#include "link/protocol.h"

namespace veldoran::ui {
struct DateTimeFormats;
}

namespace veldoran::link {

// Who holds a card slot, as far as the events show it.
struct CardHolder {
  QString Surname;
  QString FirstName;
  QString CardCode;
};
inline constexpr int kCardHolderCount = 100;  // card slots 0 to 99
using CardHolders = std::array<CardHolder, kCardHolderCount>;

// The event a record stands for: its date and time in `formats`, the locker number it carries
// and `location`, the name of that locker now.
Tevent EventOf(const protocol::EventRecordReply& record, const ui::DateTimeFormats& formats,
               const QString& location);

// The columns of a row: "nr", "Nazwisko", "Imię", "Data", "Czas", "nr szafki", "Lokalizacja",
// "Kod karty".
inline constexpr int kEventColumns = 8;

// One row per slot of the first `event_count` slots of `events` (at most the table's 1001), the
// names and code of the card slot's holder now; a count of 0 or less gives one empty row
// numbered 1. A card slot outside 0 to 99 shows no holder.
QList<QStringList> EventRows(const EventTable& events, int event_count, const CardHolders& holders);

}  // namespace veldoran::link
