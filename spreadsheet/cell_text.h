#pragma once
// How the engine reads typed text into cells and shows cells as text: numbers with a decimal
// comma, dates d.m.yyyy and times h:m:s in date-formatted cells, number-format codes written
// with Russian letters, date serial numbers of the 1900 date system.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/date_serial.h"
#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

// A format code as written into "NumberFormat", in the standard letters: "ДД.ММ.ГГГГ" gives
// "dd.mm.yyyy", "ЧЧ:ММ:СС" "hh:mm:ss", "Основной" "General". Quoted and escaped text is kept.
std::string standardFormatCode(std::string_view code);

// The code shows dates or times (it has d, m, y, h or s outside quotes and brackets).
bool isDateTimeFormat(std::string_view code);

// Puts typed text into a cell the way a spreadsheet with Russian regional settings reads it:
// a decimal-comma number becomes a number, a date or time in a date/time-formatted cell a
// date serial, "" clears the value, a leading ' forces text, anything else is text. The cell
// keeps its format.
void enterText(Workbook& book, Cell& cell, std::string_view text, const CellFormat& effective);

// The cell as the "Value" read gives it: text as stored, numbers in the general format with a
// decimal comma, date-formatted numbers as 06.12.2026, 7:05:09 or both, empty as "".
std::string valueText(const Workbook& book, const Cell* cell, const CellFormat& effective);

// The cell as the viewer shows it, following its number format (dates dd.mm.yyyy, times,
// fixed decimals with a comma, the general format otherwise).
std::string displayText(const Workbook& book, const Cell& cell, const CellFormat& effective);

// The cell as the viewer shows it in a column that holds the texts `fits` accepts, as a
// spreadsheet does: a number in the general format rounded to fit (fewer decimals, or fewer
// digits of the scientific form, whichever keeps more significant digits); any other number
// (dates, fixed decimals) whole or not at all; "###" for a number that does not fit either
// way. Texts come whole: the view clips them.
std::string displayTextToFit(const Workbook& book, const Cell& cell, const CellFormat& effective,
                             const std::function<bool(std::string_view)>& fits);

}  // namespace lumo::spreadsheet
