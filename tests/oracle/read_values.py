#!/usr/bin/python3
"""Prints every value of an .xlsx exactly as an independent reader (openpyxl) gets it, one
fact a line, fields separated by tabs; values are Python reprs, so texts with line breaks,
tabs or blanks at their ends stay on their line and numbers keep every digit:

    zip     <None when every part's CRC is right, else the first bad part>
    active  <name of the active sheet>
    sheet   <name>
    cell    <A1> <openpyxl data type: n s b e> <repr of the value>
"""
import sys
import zipfile

import openpyxl


def main(path):
    with zipfile.ZipFile(path) as z:
        print(f"zip\t{z.testzip()}")
    book = openpyxl.load_workbook(path)
    print(f"active\t{book.active.title}")
    for ws in book.worksheets:
        print(f"sheet\t{ws.title}")
        for row in ws.iter_rows():
            for c in row:
                if c.value is not None:
                    print(f"cell\t{c.coordinate}\t{c.data_type}\t{c.value!r}")


if __name__ == "__main__":
    main(sys.argv[1])
