#!/usr/bin/python3
"""The openpyxl side of engine_bench: the same report job done with openpyxl.

    engine_bench_peer.py write <path> <rows>
        prints: build-s build-cpu-s save-s save-cpu-s base-MiB built-MiB save-peak-MiB
    engine_bench_peer.py open <path>
        prints: open-s open-cpu-s scan-s scan-cpu-s peak-MiB first-free-row

The layout of the report (sheet names, header texts, merged titles centred, column widths),
live readings that arrive as texts with a decimal comma and are stored as numbers, the stamp
as a real date and time with their formats, and 11 memory rows, as the engine does."""
import datetime
import sys
import time

import openpyxl
from openpyxl.styles import Alignment
from openpyxl.utils import get_column_letter


def status_mib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) / 1024.0
    return 0.0


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def clocks():
    return time.perf_counter(), time.process_time()


def general(v):
    """Python's shortest repr is what the engine's general format gives for these values."""
    text = repr(v)
    if text.endswith(".0"):
        text = text[:-2]
    return text.replace(".", ",")


TEXTS = [general(200 + i / 10.0) for i in range(400)]
QUANTITIES = ["U", "I", "УГОЛ", "P", "Q", "S"]
CENTRE = Alignment(horizontal="center")


def layout(book):
    live = book.active
    live.title = "Результат текущих измерений"
    memory = book.create_sheet("Данные из памяти прибора")
    for letter, width in (("A", 10), ("B", 8)):
        live.column_dimensions[letter].width = width
    for c in range(3, 21):
        live.column_dimensions[get_column_letter(c)].width = 5
    live["A1"], live["B1"] = "Дата", "Время"
    for first, title in ((3, "ФАЗА А"), (9, "ФАЗА B"), (15, "ФАЗА C")):
        live.merge_cells(start_row=1, start_column=first, end_row=1, end_column=first + 5)
        live.cell(row=1, column=first, value=title).alignment = CENTRE
    for c in range(3, 21):
        live.cell(row=2, column=c, value=QUANTITIES[(c - 3) % 6]).alignment = CENTRE
    memory.column_dimensions["A"].width = 15
    memory["A1"] = "№ периода"
    for c in range(2, 56):
        memory.column_dimensions[get_column_letter(c)].width = 5
        memory.cell(row=3, column=c, value=["MIN", "MAX", "AVR"][(c - 2) % 3]).alignment = CENTRE
    for phase, title in enumerate(("ФАЗА А", "ФАЗА B", "ФАЗА C")):
        first = 2 + 18 * phase
        memory.merge_cells(start_row=1, start_column=first, end_row=1, end_column=first + 17)
        memory.cell(row=1, column=first, value=title).alignment = CENTRE
        for q in range(6):
            memory.merge_cells(start_row=2, start_column=first + 3 * q, end_row=2, end_column=first + 3 * q + 2)
            memory.cell(row=2, column=first + 3 * q, value=QUANTITIES[q]).alignment = CENTRE
    return live, memory


def write(path, rows):
    base = status_mib("VmRSS:")
    t0, c0 = clocks()
    book = openpyxl.Workbook()
    live, memory = layout(book)
    second = 7 * 3600
    for r in range(3, rows + 3):
        s = second + r - 3
        c = live.cell(row=r, column=1, value=datetime.datetime(2026, 12, 1 + s // 86400 % 28))
        c.number_format = "dd.mm.yyyy"
        c.alignment = CENTRE
        c = live.cell(row=r, column=2, value=datetime.time(s // 3600 % 24, s // 60 % 60, s % 60))
        c.number_format = "hh:mm:ss"
        c.alignment = CENTRE
        for n in range(1, 19):
            c = live.cell(row=r, column=n + 2, value=float(TEXTS[((r - 3) * 7 + n * 13) % 400].replace(",", ".")))
            c.alignment = CENTRE
    for p in range(11):
        memory.cell(row=4 + p, column=1, value="Весь период" if p == 0 else p).alignment = CENTRE
        for c in range(2, 56):
            memory.cell(row=4 + p, column=c, value=float(TEXTS[p + c].replace(",", "."))).alignment = CENTRE
    t1, c1 = clocks()
    built = status_mib("VmRSS:")
    reset_peak()
    book.save(path)
    t2, c2 = clocks()
    print(f"{t1 - t0:.3f} {c1 - c0:.3f} {t2 - t1:.3f} {c2 - c1:.3f} {base:.1f} {built:.1f} {status_mib('VmHWM:'):.1f}")


def open_and_scan(path):
    t0, c0 = clocks()
    book = openpyxl.load_workbook(path)
    live = book.worksheets[0]
    book.worksheets[1]
    t1, c1 = clocks()
    row = 3
    while True:
        v = live.cell(row=row, column=1).value
        if v is None or str(v) == "":
            break
        row += 1
    t2, c2 = clocks()
    print(f"{t1 - t0:.3f} {c1 - c0:.3f} {t2 - t1:.3f} {c2 - c1:.3f} {status_mib('VmHWM:'):.1f} {row}")


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], int(sys.argv[3]))
    else:
        open_and_scan(sys.argv[2])
