#!/usr/bin/python3
"""The openpyxl side of engine_bench: the same report job done with openpyxl.

    engine_bench_peer.py write <path> <rows>  prints: build-s save-s build-peak-MiB save-peak-MiB
    engine_bench_peer.py open <path>          prints: open-s scan-s peak-MiB first-free-row

Readings arrive as texts with a decimal comma and are stored as numbers, the stamp as a real
date and time with their formats, as the engine does."""
import datetime
import resource
import sys
import time

import openpyxl


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def general(v):
    """Python's shortest repr is what the engine's general format gives for these values."""
    text = repr(v)
    if text.endswith(".0"):
        text = text[:-2]
    return text.replace(".", ",")


TEXTS = [general(200 + i / 10.0) for i in range(400)]


def reading(row, n):
    return TEXTS[(row * 7 + n * 13) % 400]


def write(path, rows):
    t0 = time.perf_counter()
    book = openpyxl.Workbook()
    live = book.active
    live.title = "Результат текущих измерений"
    book.create_sheet("Данные из памяти прибора")
    live.cell(row=1, column=1, value="Дата")
    live.cell(row=1, column=2, value="Время")
    for c in range(3, 21):
        live.cell(row=2, column=c, value=["U", "I", "УГОЛ", "P", "Q", "S"][(c - 3) % 6])
    for r in range(3, rows + 3):
        s = r % 86400
        day, month, year = (int(x) for x in f"{1 + r % 28}.12.2026".split("."))
        c = live.cell(row=r, column=1, value=datetime.datetime(year, month, day))
        c.number_format = "dd.mm.yyyy"
        h, m, sec = (int(x) for x in f"{s // 3600}:{s // 60 % 60}:{s % 60}".split(":"))
        c = live.cell(row=r, column=2, value=datetime.time(h, m, sec))
        c.number_format = "hh:mm:ss"
        for n in range(1, 19):
            live.cell(row=r, column=n + 2, value=float(reading(r, n).replace(",", ".")))
    t1 = time.perf_counter()
    build_peak = peak_mib()
    book.save(path)
    t2 = time.perf_counter()
    print(f"{t1 - t0:.3f} {t2 - t1:.3f} {build_peak:.1f} {peak_mib():.1f}")


def open_and_scan(path):
    t0 = time.perf_counter()
    book = openpyxl.load_workbook(path)
    live = book.worksheets[0]
    book.worksheets[1]
    t1 = time.perf_counter()
    row = 3
    while True:
        v = live.cell(row=row, column=1).value
        if v is None or str(v) == "":
            break
        row += 1
    t2 = time.perf_counter()
    print(f"{t1 - t0:.3f} {t2 - t1:.3f} {peak_mib():.1f} {row}")


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], int(sys.argv[3]))
    else:
        open_and_scan(sys.argv[2])
