#!/usr/bin/env python3
"""Writes the upcase table of NTFS, the simple uppercase mapping of the Basic Multilingual Plane,
as a compact C++ table, from the UnicodeData.txt of Debian's unicode-data package.

usage: upcase_table.py UnicodeData.txt OUTPUT.inc

The table maps a UTF-16 unit to its simple uppercase unit (field 12 of UnicodeData.txt); a unit
without one maps to itself. It is kept as blocks of 64 units: an index of one byte per block
names one of the distinct blocks, each 64 differences (upper - unit, modulo 2^16), and the block
of no mapping is block 0. windows_names.cpp includes it (UpperCaseUnit).
"""
import sys

BLOCK_BITS = 6
BLOCK = 1 << BLOCK_BITS


def read_mapping(path):
    upper = {}
    with open(path, encoding="utf-8") as data:
        for line in data:
            fields = line.rstrip("\n").split(";")
            if len(fields) < 15 or not fields[12]:
                continue
            unit, mapped = int(fields[0], 16), int(fields[12], 16)
            # A unit is mapped to a unit: the planes above the first are no units of their own.
            if unit <= 0xFFFF and mapped <= 0xFFFF:
                upper[unit] = mapped
    return upper


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, output = sys.argv[1], sys.argv[2]
    upper = read_mapping(source)
    if len(upper) < 1000 or upper.get(0x61) != 0x41:
        sys.exit(f"{source}: no simple uppercase mapping found (is it UnicodeData.txt?)")
    blocks = [tuple([0] * BLOCK)]
    index = []
    for start in range(0, 0x10000, BLOCK):
        block = tuple((upper.get(unit, unit) - unit) & 0xFFFF for unit in range(start, start + BLOCK))
        if block not in blocks:
            blocks.append(block)
        index.append(blocks.index(block))
    if len(blocks) > 256:
        sys.exit("more than 256 distinct blocks: the index needs wider entries")

    lines = [
        "// Written by platform/upcase_table.py from " + source + ": do not edit.",
        f"// {len(upper)} units of the Basic Multilingual Plane have a simple uppercase mapping;",
        f"// {len(blocks)} distinct blocks of {BLOCK} units.",
        f"constexpr unsigned kUpcaseBlockBits = {BLOCK_BITS};",
        f"constexpr std::uint16_t kUpcaseMappedUnits = {len(upper)};",
        f"constexpr std::uint8_t kUpcaseBlockOf[{len(index)}] = {{",
    ]
    for row in range(0, len(index), 32):
        lines.append("    " + ", ".join(str(b) for b in index[row:row + 32]) + ",")
    lines.append("};")
    lines.append(f"constexpr std::uint16_t kUpcaseDelta[{len(blocks)}][{BLOCK}] = {{")
    for block in blocks:
        lines.append("    {")
        for row in range(0, BLOCK, 16):
            lines.append("        " + ", ".join(f"0x{d:04X}" for d in block[row:row + 16]) + ",")
        lines.append("    },")
    lines.append("};")
    text = "\n".join(lines) + "\n"
    # Written only when it changes, so that a rebuild recompiles nothing.
    try:
        with open(output, encoding="utf-8") as old:
            if old.read() == text:
                return
    except OSError:
        pass
    with open(output, "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    main()
