#!/usr/bin/python3
"""Prints what an independent reader (openpyxl) finds in an .xlsx file, one fact a line,
fields separated by tabs:

    sheet   <index> <name>
    active  <name>
    cell    <sheet> <A1> <n|s|b|d> <value> <number format> <horizontal alignment or ->
    merge   <sheet> <A1:B2>
    width   <sheet> <column letters> <width as stored>

Numbers print with repr(), dates (cells openpyxl reads as dates) as dd.mm.yyyy hh:mm:ss."""
import datetime
import sys

import openpyxl


def main(path):
    book = openpyxl.load_workbook(path)
    out = []
    for index, ws in enumerate(book.worksheets, 1):
        out.append(f"sheet\t{index}\t{ws.title}")
    out.append(f"active\t{book.active.title}")
    for ws in book.worksheets:
        for row in ws.iter_rows():
            for c in row:
                if c.value is None:
                    continue
                v = c.value
                if isinstance(v, bool):
                    kind, text = "b", str(v)
                elif isinstance(v, (int, float)):
                    kind, text = "n", repr(float(v))
                elif isinstance(v, (datetime.datetime, datetime.date, datetime.time)):
                    kind = "d"
                    if isinstance(v, datetime.time):
                        text = v.strftime("%H:%M:%S")
                    else:
                        text = v.strftime("%d.%m.%Y %H:%M:%S")
                else:
                    kind, text = "s", str(v)
                align = c.alignment.horizontal or "-"
                out.append(f"cell\t{ws.title}\t{c.coordinate}\t{kind}\t{text}\t{c.number_format}\t{align}")
        for rng in ws.merged_cells.ranges:
            out.append(f"merge\t{ws.title}\t{rng.coord}")
        for letter, dim in sorted(ws.column_dimensions.items()):
            if dim.width is not None and dim.customWidth:
                first, last = dim.min or 0, dim.max or 0
                out.append(f"width\t{ws.title}\t{letter}\t{dim.width!r}\t{first}\t{last}")
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main(sys.argv[1])
