#!/usr/bin/python3
"""Makes workbooks from outside the engine for its tests:

    make_files.py openpyxl <path>   an .xlsx written by openpyxl: two sheets, a number with
                                    decimals, a text, a date with a date format, a merge,
                                    a centred cell and a column width
    make_files.py onesheet <path>   an .xlsx with a single sheet
    make_files.py colstyles <path>  an .xlsx whose second sheet has columns C to E formatted
                                    whole: right-aligned, number format 0.00
    make_files.py formats <path>    an .xlsx of three sheets, the second active: number formats
                                    built-in and custom, every horizontal alignment, a boolean,
                                    a formula, dates and a time, merges, widths (a hidden
                                    column, a grouped run, beyond 255), formatted columns
    make_files.py ods <path>        an OpenDocument spreadsheet made by hand: two sheets, a
                                    float, a string, a date, a merged pair of cells
    make_files.py rows <path> <n>   an .xlsx whose first sheet has n rows in column A
    make_files.py xls <path>        a legacy .xls (python3-xlwt): two sheets, a text, a
                                    number, a date with a date format
"""
import datetime
import sys
import zipfile

import openpyxl
from openpyxl.styles import Alignment


def make_openpyxl(path):
    book = openpyxl.Workbook()
    ws = book.active
    ws.title = "Первый"
    ws["A1"] = "Дата"
    ws["A3"] = datetime.datetime(2026, 12, 6)
    ws["A3"].number_format = "dd.mm.yyyy"
    ws["C3"] = 230.5
    ws["D3"] = "нет"
    ws.merge_cells("C1:H1")
    ws["C1"] = "ФАЗА А"
    ws["C1"].alignment = Alignment(horizontal="center")
    ws.column_dimensions["A"].width = 10.7109375
    second = book.create_sheet("Второй")
    second["A4"] = "Весь период"
    second["B4"] = -1.5e-6
    book.save(path)


def make_onesheet(path):
    book = openpyxl.Workbook()
    book.active["A1"] = "один"
    book.save(path)


def make_colstyles(path):
    book = openpyxl.Workbook()
    book.active.title = "Первый"
    book.active["A1"] = "один"
    second = book.create_sheet("Второй")
    for letter in "CDE":
        second.column_dimensions[letter].alignment = Alignment(horizontal="right")
        second.column_dimensions[letter].number_format = "0.00"
    second["A1"] = 1
    book.save(path)


def make_formats(path):
    book = openpyxl.Workbook()
    ws = book.active
    ws.title = "Тексты & <знаки>"
    aligns = ["left", "center", "right", "fill", "justify", "centerContinuous", "distributed", "general", None]
    codes = ["0.00", "dd.mm.yyyy hh:mm:ss", "@", "0%", "#,##0.000", "hh:mm", "General", "d-mmm-yy", "0.00E+00",
             "mm-dd-yy", "h:mm:ss", "[h]:mm:ss", '"руб." #,##0.00', "yyyy-mm-dd"]
    for i, code in enumerate(codes):
        c = ws.cell(row=i + 1, column=1, value=46362.5 + i)
        c.number_format = code
        if aligns[i % len(aligns)]:
            c.alignment = Alignment(horizontal=aligns[i % len(aligns)])
        ws.cell(row=i + 1, column=2, value=f"текст {i}")
    ws["C1"] = True
    ws["C2"] = "=1/0"
    ws["C3"] = datetime.datetime(2026, 12, 6, 7, 5, 9)
    ws["C4"] = datetime.date(2026, 12, 6)
    ws["C5"] = datetime.time(7, 5, 9)
    ws.merge_cells("D1:F2")
    ws.merge_cells("A20:B20")
    ws.column_dimensions["A"].width = 20
    ws.column_dimensions["C"].width = 3.5
    ws.column_dimensions["D"].hidden = True
    ws.column_dimensions.group("F", "H", hidden=False)
    ws.column_dimensions["F"].width = 14
    ws.column_dimensions["J"].width = 0.5
    ws.column_dimensions["K"].width = 300
    second = book.create_sheet("Второй")
    for letter in "CDE":
        second.column_dimensions[letter].alignment = Alignment(horizontal="right")
        second.column_dimensions[letter].number_format = "0.00"
    second["A1"] = 1
    second["C5"] = 2.5
    book.create_sheet("Третий")["B2"] = "x"
    book.active = 1
    book.save(path)


def make_rows(path, n):
    book = openpyxl.Workbook()
    ws = book.active
    for r in range(1, n + 1):
        ws.cell(row=r, column=1, value=r)
    book.create_sheet("Второй")
    book.save(path)


ODS_CONTENT = """<?xml version="1.0" encoding="UTF-8"?>
<office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" office:version="1.2">
<office:body><office:spreadsheet>
<table:table table:name="Результат текущих измерений">
<table:table-row>
<table:table-cell office:value-type="string"><text:p>Дата</text:p></table:table-cell>
<table:table-cell table:number-columns-spanned="2" office:value-type="string"><text:p>ФАЗА А</text:p></table:table-cell>
<table:covered-table-cell/>
</table:table-row>
<table:table-row>
<table:table-cell office:value-type="date" office:date-value="2026-12-06"><text:p>06.12.2026</text:p></table:table-cell>
<table:table-cell office:value-type="float" office:value="230.5"><text:p>230,5</text:p></table:table-cell>
</table:table-row>
</table:table>
<table:table table:name="Данные из памяти прибора">
<table:table-row>
<table:table-cell office:value-type="string"><text:p>Весь период</text:p></table:table-cell>
</table:table-row>
</table:table>
</office:spreadsheet></office:body></office:document-content>
"""

ODS_MANIFEST = """<?xml version="1.0" encoding="UTF-8"?>
<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2">
 <manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>
 <manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>
</manifest:manifest>
"""


def make_ods(path):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr(zipfile.ZipInfo("mimetype"), "application/vnd.oasis.opendocument.spreadsheet")
        z.writestr("META-INF/manifest.xml", ODS_MANIFEST, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("content.xml", ODS_CONTENT, compress_type=zipfile.ZIP_DEFLATED)


def make_xls(path):
    import xlwt

    book = xlwt.Workbook(encoding="utf-8")
    live = book.add_sheet("Результат текущих измерений")
    live.write(0, 0, "Дата")
    live.write(2, 0, datetime.datetime(2026, 12, 6), xlwt.easyxf(num_format_str="dd.mm.yyyy"))
    live.write(2, 2, 230.5)
    book.add_sheet("Данные из памяти прибора").write(3, 0, "Весь период")
    book.save(path)


if __name__ == "__main__":
    kind, target = sys.argv[1], sys.argv[2]
    if kind == "openpyxl":
        make_openpyxl(target)
    elif kind == "onesheet":
        make_onesheet(target)
    elif kind == "colstyles":
        make_colstyles(target)
    elif kind == "formats":
        make_formats(target)
    elif kind == "ods":
        make_ods(target)
    elif kind == "xls":
        make_xls(target)
    elif kind == "rows":
        make_rows(target, int(sys.argv[3]))
    else:
        sys.exit(f"unknown kind {kind}")
