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
    make_files.py features <path>   a report as an operator keeps it, with what the engine does
                                    not model: a formula beside the readings, a chart, a
                                    picture (Pillow), a comment, a defined name, a table, a data
                                    validation, a conditional format, a hyperlink, fonts and
                                    fills, row heights, a hidden row and column, frozen panes,
                                    print settings, a protected sheet, a hidden and a very
                                    hidden sheet, and a chart sheet between the two report
                                    sheets; its next free live row (13) is hidden and high
    make_files.py features-plain <path>  the same without the chart sheet (LibreOffice has none)
    make_files.py epoch1904 <path>  the same in the 1904 date system
    make_files.py xlsm <path>       the same as a macro-enabled workbook with a VBA project part
                                    (kept by openpyxl's keep_vba)
    make_files.py encrypted <path>  a compound file as a workbook saved with a password is (its
                                    EncryptionInfo and EncryptedPackage streams; not decryptable)
    make_files.py xls-small <path>  the "xls" workbook as writers other than Excel lay out small
                                    ones: its Workbook stream (without xlwt's padding) in the
                                    mini stream after the summary streams, and named by the fifth
                                    directory entry (in the directory's second sector)
    make_files.py xls-interleaved <path>  the same workbook stream first in the mini stream,
                                    its mini sectors taking turns with another stream's
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


LIVE = "Результат текущих измерений"
MEMORY = "Данные из памяти прибора"


def make_features(path, epoch1904=False, chartsheet=True):
    import io

    from openpyxl.chart import LineChart, Reference
    from openpyxl.comments import Comment
    from openpyxl.drawing.image import Image
    from openpyxl.formatting.rule import CellIsRule
    from openpyxl.styles import Font, PatternFill
    from openpyxl.utils.datetime import CALENDAR_MAC_1904
    from openpyxl.workbook.defined_name import DefinedName
    from openpyxl.worksheet.datavalidation import DataValidation
    from openpyxl.worksheet.table import Table, TableStyleInfo
    from PIL import Image as Picture

    book = openpyxl.Workbook()
    if epoch1904:
        book.epoch = CALENDAR_MAC_1904
    live = book.active
    live.title = LIVE
    live["A1"], live["B1"], live["C1"] = "Дата", "Время", "ФАЗА А"
    live.merge_cells("C1:H1")
    for c, name in enumerate(["U", "I", "УГОЛ", "P", "Q", "S"] * 3, 3):
        live.cell(row=2, column=c, value=name)
    for r in range(3, 13):
        live.cell(row=r, column=1, value=datetime.datetime(2026, 12, 6)).number_format = "dd.mm.yyyy"
        live.cell(row=r, column=2, value=datetime.time(7, 5, r)).number_format = "hh:mm:ss"
        for c in range(3, 21):
            live.cell(row=r, column=c, value=220 + r + c / 10)
    live["V1"] = "Среднее U"
    live["V1"].font = Font(bold=True, color="FFFF0000")
    live["V1"].fill = PatternFill("solid", fgColor="FFFFFF00")
    live["V3"] = "=AVERAGE(C3:C12)"
    live["V4"] = "=SUM(C3:C1000)"
    live.row_dimensions[1].height = 30
    live.row_dimensions[13].height = 24
    live.row_dimensions[13].hidden = True
    live.column_dimensions["U"].hidden = True
    live.column_dimensions["A"].width = 12
    live.freeze_panes = "C3"
    live["C3"].comment = Comment("Первое показание", "Оператор")
    live["X1"].hyperlink = "https://example.invalid/report"
    live["X1"] = "Ссылка"
    chart = LineChart()
    chart.title = "U фазы А"
    chart.add_data(Reference(live, min_col=3, min_row=2, max_row=12), titles_from_data=True)
    live.add_chart(chart, "X3")
    picture = io.BytesIO()
    Picture.new("RGB", (40, 30), (200, 30, 30)).save(picture, format="PNG")
    live.add_image(Image(picture), "X20")
    validation = DataValidation(type="whole", operator="between", formula1="0", formula2="100")
    live.add_data_validation(validation)
    validation.add("W3:W100")
    live.conditional_formatting.add("C3:C1000", CellIsRule(operator="greaterThan", formula=["240"],
                                                            fill=PatternFill("solid", bgColor="FFFFC7CE")))
    live.print_options.gridLines = True
    live.page_setup.orientation = "landscape"
    live.print_title_rows = "1:2"
    live.oddHeader.center.text = "Отчет ЛУМО"
    book.defined_names.append(DefinedName("Readings", attr_text="'%s'!$C$3:$C$12" % LIVE))

    if chartsheet:
        sheet = book.create_chartsheet("Диаграмма")
        line = LineChart()
        line.add_data(Reference(live, min_col=4, min_row=2, max_row=12), titles_from_data=True)
        sheet.add_chart(line)

    memory = book.create_sheet(MEMORY)
    memory["A1"] = "№ периода"
    memory["A4"] = "Весь период"
    memory["B4"] = 230.5

    helper = book.create_sheet("Таблица")
    helper.append(["Фаза", "U", "I"])
    for row in (["A", 230.1, 5.1], ["B", 229.8, 5.0], ["C", 231.0, 4.9]):
        helper.append(row)
    table = Table(displayName="Phases", ref="A1:C4")
    table.tableStyleInfo = TableStyleInfo(name="TableStyleMedium9", showRowStripes=True)
    helper.add_table(table)
    helper.protection.sheet = True
    book.create_sheet("Скрытый")["A1"] = "скрыт"
    book["Скрытый"].sheet_state = "hidden"
    book.create_sheet("Очень скрытый")["A1"] = "очень скрыт"
    book["Очень скрытый"].sheet_state = "veryHidden"
    book.active = 0
    book.save(path)


def make_xlsm(path):
    import os
    import tempfile

    plain = path + ".source.xlsx"
    make_features(plain)
    # A VBA project part with its relationship and types, as a macro-enabled workbook has it;
    # openpyxl keeps it (keep_vba) and writes the workbook as macro-enabled.
    macro = path + ".source.xlsm"
    with zipfile.ZipFile(plain) as src, zipfile.ZipFile(macro, "w", zipfile.ZIP_DEFLATED) as dst:
        for info in src.infolist():
            data = src.read(info.filename)
            if info.filename == "[Content_Types].xml":
                data = data.replace(b"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
                                    b"application/vnd.ms-excel.sheet.macroEnabled.main+xml")
                data = data.replace(b"</Types>", b'<Default Extension="bin" ContentType="application/vnd.ms-office.vbaProject"/></Types>')
            if info.filename == "xl/_rels/workbook.xml.rels":
                data = data.replace(b"</Relationships>", b'<Relationship Id="rIdVba" Type="http://schemas.microsoft.com/office/2006/relationships/vbaProject" Target="vbaProject.bin"/></Relationships>')
            dst.writestr(info, data)
        dst.writestr("xl/vbaProject.bin", bytes(range(256)) * 16)
    book = openpyxl.load_workbook(macro, keep_vba=True)
    book.save(path)
    os.remove(plain)
    os.remove(macro)


def write_compound_file(path, streams, interleave=False):
    """A compound file (512-byte sectors) of the streams (name, bytes) in this order: those
    under 4096 bytes in the mini stream one after the other (or their mini sectors taking
    turns, as when they were written at once), the others in sectors of their own; the
    directory names them in this order after the root, as a tree by name."""
    import struct

    sector, mini = 512, 64
    end, free, fat_sector = 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFD
    small = [(n, d) for n, d in streams if len(d) < 4096]
    pieces = [[d[i:i + mini].ljust(mini, b"\0") for i in range(0, max(len(d), 1), mini)] for n, d in small]
    order = []  # (stream, piece) in the mini stream's order
    if interleave:
        for k in range(max(len(p) for p in pieces)):
            order += [(i, k) for i, p in enumerate(pieces) if k < len(p)]
    else:
        order = [(i, k) for i, p in enumerate(pieces) for k in range(len(p))]
    place_of = {key: at for at, key in enumerate(order)}
    mini_stream = b"".join(pieces[i][k] for i, k in order)
    mini_fat = [free] * len(order)
    starts = {}
    for i, (name, data) in enumerate(small):
        chain = [place_of[(i, k)] for k in range(len(pieces[i]))]
        starts[name] = chain[0]
        for a, b in zip(chain, chain[1:]):
            mini_fat[a] = b
        mini_fat[chain[-1]] = end
    body, fat = [], []  # sectors after the header, and the FAT's entries for them

    def place(data, marker=None):
        count = max(1, -(-len(data) // sector))
        first = len(fat)
        fat.extend(list(range(first + 1, first + count)) + [end])
        body.append(data.ljust(count * sector, b"\0"))
        return first

    entries = [("Root Entry", 5, 0, len(mini_stream))] + [(n, 2, 0, len(d)) for n, d in streams]
    directory_sectors = -(-len(entries) * 128 // sector)
    fat_sectors = 1
    fat.extend([fat_sector] * fat_sectors)
    body.append(b"")  # the FAT, filled in last
    directory_start = place(b"\0" * directory_sectors * sector)
    mini_fat_start = place(struct.pack("<%dI" % len(mini_fat), *mini_fat)) if mini_fat else end
    root_start = place(mini_stream) if mini_stream else end
    for i, (name, data) in enumerate(streams):
        start = starts[name] if name in starts else place(data)
        entries[i + 1] = (name, 2, start, len(data))
    entries[0] = ("Root Entry", 5, root_start, len(mini_stream))
    # The tree: siblings in the directory's order of names (length, then upper case), each
    # the right child of the one before.
    order = sorted(range(1, len(entries)), key=lambda i: (len(entries[i][0]), entries[i][0].upper()))
    right = {a: b for a, b in zip(order, order[1:])}
    raw = b""
    for i, (name, kind, start, size) in enumerate(entries):
        n = name.encode("utf-16-le") + b"\0\0"
        child = order[0] if i == 0 and order else free
        raw += (n.ljust(64, b"\0") + struct.pack("<HBB", len(n), kind, 1)
                + struct.pack("<III", free, right.get(i, free), child) + b"\0" * 36 + struct.pack("<IQ", start, size))
    raw = raw.ljust(directory_sectors * sector, b"\0")
    body[1] = raw  # the directory's sectors come right after the FAT
    fat_bytes = struct.pack("<%dI" % len(fat), *fat).ljust(sector, b"\xFF")
    body[0] = fat_bytes
    header = (b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + b"\0" * 16 + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6)
              + b"\0" * 6 + struct.pack("<IIIIIIIII", 0, fat_sectors, directory_start, 0, 4096, mini_fat_start,
                                         1 if mini_fat else 0, end, 0))
    header += struct.pack("<I", 0) + b"\xFF" * 4 * 108
    open(path, "wb").write(header + b"".join(body))


def make_xls_small(path, interleave=False):
    import struct

    make_xls(path + ".xlwt")
    # xlwt's Workbook stream, read from its compound file: it is in sectors (padded to 4096).
    data = open(path + ".xlwt", "rb").read()
    import os
    os.remove(path + ".xlwt")
    directory = struct.unpack_from("<I", data, 0x30)[0]
    entry = data[(directory + 1) * 512 + 128:(directory + 1) * 512 + 256]
    start, size = struct.unpack_from("<IQ", entry, 116)
    fat = struct.unpack_from("<128I", data, (struct.unpack_from("<I", data, 0x4C)[0] + 1) * 512)
    stream, at = b"", start
    while at < 0xFFFFFFFA:
        stream += data[(at + 1) * 512:(at + 2) * 512]
        at = fat[at]
    stream = stream[:size]
    # Without the padding after the workbook's last record (EOF, 0x000A).
    end = 0
    while end + 4 <= len(stream):
        kind, length = struct.unpack_from("<HH", stream, end)
        if kind == 0 and length == 0:
            break
        end += 4 + length
    summary = b"\xFE\xFF\0\0" + b"\x05" * 196
    if interleave:
        # The workbook first, its mini sectors taking turns with a stream of zeros.
        write_compound_file(path, [("Workbook", stream[:end]), ("Zeros", bytes(end))], interleave=True)
        return
    write_compound_file(path, [("\x05SummaryInformation", summary), ("\x05DocumentSummaryInformation", summary[:150]),
                               ("\x01CompObj", b"\x01\0\xFE\xFF" + b"\0" * 60), ("Ole", b"\x01\0\0\x02" + b"\0" * 16),
                               ("Workbook", stream[:end])])


def make_encrypted(path):
    import struct

    # A compound file of 512-byte sectors: header, one FAT sector, one directory sector (root,
    # EncryptionInfo, EncryptedPackage), and the streams' sector.
    def entry(name, kind, start, size, child=0xFFFFFFFF, right=0xFFFFFFFF):
        raw = name.encode("utf-16-le") + b"\0\0"
        return (raw.ljust(64, b"\0") + struct.pack("<HBB", len(raw), kind, 1) + struct.pack("<III", 0xFFFFFFFF, right, child)
                + b"\0" * 16 + b"\0" * 4 + b"\0" * 16 + struct.pack("<IQ", start, size))
    header = (b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + b"\0" * 16 + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6
              + struct.pack("<IIIIIIIII", 0, 1, 1, 0, 4096, 0xFFFFFFFE, 0, 0xFFFFFFFE, 0))
    header += struct.pack("<I", 0) + b"\xFF" * 4 * 108
    fat = struct.pack("<IIII", 0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFE, 0xFFFFFFFE).ljust(512, b"\xFF")
    directory = (entry("Root Entry", 5, 0xFFFFFFFE, 0, child=1) + entry("EncryptionInfo", 2, 2, 8, right=2)
                 + entry("EncryptedPackage", 2, 2, 8)).ljust(512, b"\0")
    open(path, "wb").write(header + fat + directory + b"\0" * 512)


MAKERS = {
    "openpyxl": make_openpyxl,
    "onesheet": make_onesheet,
    "colstyles": make_colstyles,
    "formats": make_formats,
    "ods": make_ods,
    "xls": make_xls,
    "xls-small": make_xls_small,
    "xls-interleaved": lambda path: make_xls_small(path, interleave=True),
    "features": make_features,
    "features-plain": lambda path: make_features(path, chartsheet=False),
    "epoch1904": lambda path: make_features(path, epoch1904=True),
    "xlsm": make_xlsm,
    "encrypted": make_encrypted,
    "rows": lambda path: make_rows(path, int(sys.argv[3])),
}

if __name__ == "__main__":
    kind, target = sys.argv[1], sys.argv[2]
    if kind not in MAKERS:
        sys.exit(f"unknown kind {kind}")
    MAKERS[kind](target)
