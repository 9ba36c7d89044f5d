#!/usr/bin/python3
"""Compares a workbook package with the same workbook after a program wrote rows into it and
saved it in place, as an independent reader (zipfile, openpyxl) sees them; one fact a line:

    zip      <None when every part's CRC is right, else the first bad part>
    part     <name> same|changed|missing      (same: equal bytes, CRC and packed size)
    added    <name>                           a part the original did not have
    type     <content type of the workbook part>
    features same | features differ <what> <before> <after>
    cells    same | cells differ <sheet> <cell> <before> <after>   (but the rows written)
    row      <sheet> <row> <repr of the values of columns A to T>

compare_packages.py <before> <after> <sheet>:<row> ...   the rows written, left out of "cells"
"""
import sys
import zipfile

import openpyxl


def parts(path):
    with zipfile.ZipFile(path) as z:
        return {i.filename: (i.CRC, i.compress_size, z.read(i.filename)) for i in z.infolist()}


def features(path):
    """Everything the engine does not model, as openpyxl reads it."""
    book = openpyxl.load_workbook(path, keep_vba=path.endswith(".xlsm"))
    out = {
        "sheets": [(s.title, type(s).__name__, s.sheet_state) for s in book._sheets],
        "names": sorted((n.name, n.attr_text) for n in book.defined_names.definedName),
        "epoch": book.epoch.isoformat(),
        "vba": book.vba_archive is not None and "xl/vbaProject.bin" in book.vba_archive.namelist(),
        "chartsheets": [(c.title, len(c._charts)) for c in book.chartsheets],
    }
    for ws in book.worksheets:
        formulas = sorted(c.coordinate + c.value for row in ws.iter_rows() for c in row
                          if isinstance(c.value, str) and c.value.startswith("="))
        comments = sorted((c.coordinate, c.comment.text) for row in ws.iter_rows() for c in row if c.comment)
        links = sorted((c.coordinate, c.hyperlink.target) for row in ws.iter_rows() for c in row if c.hyperlink)
        styled = sorted((c.coordinate, c.font.b, str(c.font.color.rgb) if c.font.color else None, c.fill.fgColor.rgb)
                        for row in ws.iter_rows() for c in row if c.font.b or c.fill.fill_type)
        out[ws.title] = {
            "formulas": formulas, "comments": comments, "links": links, "styled": styled,
            "charts": len(ws._charts), "images": len(ws._images), "tables": sorted(ws.tables.keys()),
            "validations": sorted(str(v.sqref) for v in ws.data_validations.dataValidation),
            "conditional": sorted(str(r.sqref) for r in ws.conditional_formatting),
            "protected": ws.protection.sheet, "freeze": ws.freeze_panes,
            "hidden rows": sorted(r for r, d in ws.row_dimensions.items() if d.hidden),
            "heights": sorted((r, d.height) for r, d in ws.row_dimensions.items() if d.height),
            "hidden cols": sorted(c for c, d in ws.column_dimensions.items() if d.hidden),
            "widths": sorted((c, d.width) for c, d in ws.column_dimensions.items() if d.customWidth),
            "merged": sorted(str(m) for m in ws.merged_cells.ranges),
            "print": (ws.page_setup.orientation, ws.print_title_rows, ws.print_options.gridLines, ws.oddHeader.center.text),
        }
    return out


def cells(path):
    book = openpyxl.load_workbook(path)
    return {(ws.title, c.coordinate): (c.value, c.number_format) for ws in book.worksheets
            for row in ws.iter_rows() for c in row if c.value is not None}


def main(before, after, written):
    with zipfile.ZipFile(after) as z:
        print(f"zip\t{z.testzip()}")
    old, new = parts(before), parts(after)
    for name in old:
        state = "missing" if name not in new else "same" if old[name] == new[name] else "changed"
        print(f"part\t{name}\t{state}")
    for name in new:
        if name not in old:
            print(f"added\t{name}")
    types = new["[Content_Types].xml"][2].decode()
    main_type = [t for t in ("sheet.main+xml", "sheet.macroEnabled.main+xml") if t in types]
    print(f"type\t{main_type[0] if main_type else None}")

    fa, fb = features(before), features(after)
    diff = [(k, fa[k], fb.get(k)) for k in fa if fa[k] != fb.get(k)]
    print("features\tsame" if not diff else f"features\tdiffer\t{diff[0][0]}\t{diff[0][1]}\t{diff[0][2]}")

    rows = [(w.rsplit(":", 1)[0], int(w.rsplit(":", 1)[1])) for w in written]
    ca, cb = cells(before), cells(after)
    def written(key):
        sheet, coordinate = key
        return any(sheet == s and openpyxl.utils.cell.coordinate_from_string(coordinate)[1] == r for s, r in rows)
    changed = [(k, ca.get(k), cb.get(k)) for k in sorted(set(ca) | set(cb)) if ca.get(k) != cb.get(k) and not written(k)]
    print("cells\tsame" if not changed else f"cells\tdiffer\t{changed[0][0][0]}\t{changed[0][0][1]}\t{changed[0][1]}\t{changed[0][2]}")
    book = openpyxl.load_workbook(after)
    for sheet, r in rows:
        print(f"row\t{sheet}\t{r}\t{[c.value for c in book[sheet][r][:20]]!r}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
