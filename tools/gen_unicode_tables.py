#!/usr/bin/env python3
"""Writes the Unicode tables of the text datatypes from the Unicode Character Database:

    datatypes/series/case_map_tables.inc    simple (one-to-one) case mappings
    datatypes/series/char_width_tables.inc  zero-width, double-width and ambiguous-width ranges

The system targets Unicode 13.0: only code points assigned in 13.0 or earlier (DerivedAge.txt)
take part, so a newer database gives the same tables. Run by hand when the tables must change;
the output is committed and the build never runs this script.

    apt-get install unicode-data          # the database in /usr/share/unicode
    python3 tools/gen_unicode_tables.py [database folder]

Case mappings are fields 12 (simple uppercase) and 13 (simple lowercase) of UnicodeData.txt,
kept when both the code point and its mapping are 13.0 characters. Widths:
  - zero width: general categories Mn, Me and Cf (but U+00AD SOFT HYPHEN, which shows), and
    the Hangul medial vowels and final consonants U+1160..U+11FF;
  - double width: East_Asian_Width W and F, with the blocks whose unassigned code points
    default to W taken whole;
  - ambiguous width: East_Asian_Width A.
"""
import os
import sys

TARGET = (13, 0)
# Blocks whose unassigned code points are wide too (EastAsianWidth.txt, header).
WIDE_BLOCKS = [(0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF), (0x20000, 0x2FFFD), (0x30000, 0x3FFFD)]
HANGUL_JUNGSEONG_JONGSEONG = (0x1160, 0x11FF)
SOFT_HYPHEN = 0xAD

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "datatypes", "series")


def ranges_of_file(path):
    """Yields (first, last, value) of a UCD property file ("0000..001F;N  # ...")."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            span, value = (part.strip() for part in line.split(";")[:2])
            first, _, last = span.partition("..")
            yield int(first, 16), int(last or first, 16), value


def assigned_by_target(db):
    """The set of code points assigned in the target version or earlier."""
    known = set()
    for first, last, age in ranges_of_file(os.path.join(db, "DerivedAge.txt")):
        if tuple(int(x) for x in age.split(".")) <= TARGET:
            known.update(range(first, last + 1))
    return known


def unicode_data(db):
    """Yields (code point, general category, simple upper, simple lower); ranges expanded."""
    with open(os.path.join(db, "UnicodeData.txt"), encoding="utf-8") as f:
        pending = None
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp, name, category = int(fields[0], 16), fields[1], fields[2]
            upper = int(fields[12], 16) if fields[12] else None
            lower = int(fields[13], 16) if fields[13] else None
            if name.endswith(", First>"):
                pending = cp
                continue
            if name.endswith(", Last>"):
                for c in range(pending, cp + 1):
                    yield c, category, None, None
                continue
            yield cp, category, upper, lower


def merge(points):
    """Sorted code points as (first, last) ranges of consecutive values."""
    out = []
    for cp in sorted(points):
        if out and out[-1][1] == cp - 1:
            out[-1][1] = cp
        else:
            out.append([cp, cp])
    return [tuple(r) for r in out]


def emit_pairs(lines, name, rows):
    lines.append("static const uint32_t %s[][2] = {" % name)
    line = "   "
    for a, b in rows:
        item = " {0x%X, 0x%X}," % (a, b)
        if len(line) + len(item) > 100:
            lines.append(line)
            line = "   "
        line += item
    lines.append(line)
    lines.append("};")


def write(path, header, tables):
    lines = [header, "// Each table is sorted by its first column."]
    for name, rows in tables:
        emit_pairs(lines, name, rows)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    print("wrote", os.path.relpath(path, ROOT), ", ".join("%s %d" % (n, len(r)) for n, r in tables))


def main():
    db = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    known = assigned_by_target(db)
    upper, lower, zero = [], [], set()
    for cp, category, up, low in unicode_data(db):
        if cp not in known:
            continue
        if up is not None and up in known:
            upper.append((cp, up))
        if low is not None and low in known:
            lower.append((cp, low))
        if category in ("Mn", "Me", "Cf") and cp != SOFT_HYPHEN:
            zero.add(cp)
    zero.update(range(HANGUL_JUNGSEONG_JONGSEONG[0], HANGUL_JUNGSEONG_JONGSEONG[1] + 1))

    wide, ambiguous = set(), set()
    for first, last in WIDE_BLOCKS:
        wide.update(range(first, last + 1))
    for first, last, width in ranges_of_file(os.path.join(db, "EastAsianWidth.txt")):
        points = [c for c in range(first, last + 1) if c in known]
        if width in ("W", "F"):
            wide.update(points)
        elif width == "A":
            ambiguous.update(points)
    wide -= zero
    ambiguous -= zero

    note = "// Generated by tools/gen_unicode_tables.py from the Unicode %d.%d database. Do not edit." % TARGET
    write(os.path.join(OUT, "case_map_tables.inc"), note, [
        ("UPPER_BMP", [p for p in upper if p[0] < 0x10000]),
        ("LOWER_BMP", [p for p in lower if p[0] < 0x10000]),
        ("UPPER_SUPPLEMENTARY", [p for p in upper if p[0] >= 0x10000]),
        ("LOWER_SUPPLEMENTARY", [p for p in lower if p[0] >= 0x10000]),
    ])
    write(os.path.join(OUT, "char_width_tables.inc"), note, [
        ("ZERO_WIDTH", merge(zero)),
        ("DOUBLE_WIDTH", merge(wide)),
        ("AMBIGUOUS_WIDTH", merge(ambiguous)),
    ])


if __name__ == "__main__":
    main()
