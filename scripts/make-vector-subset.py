#!/usr/bin/env python3
"""Writes the committed subset of the 68000 single-step test vectors.

Usage: scripts/make-vector-subset.py [SOURCE_DIR] [DEST_DIR] [COUNT]

Defaults: SOURCE_DIR ../shared/m68000-tests, DEST_DIR m68k/tests/vectors/subset, COUNT 100.
For every SOURCE_DIR/*.json.bin it writes DEST_DIR/<same name> in the same binary format: the
file header with the test count set to COUNT, then the file's first COUNT test blocks byte for
byte. Each block's magic and size are checked on the way, so a corrupt source stops the script.
"""
import pathlib
import struct
import sys

FILE_MAGIC = 0x1A3F5D71
TEST_MAGIC = 0xABC12367


def subset(data: bytes, name: str, count: int) -> bytes:
    if len(data) < 8:
        raise ValueError(f"{name}: shorter than the file header")
    magic, total = struct.unpack_from("<II", data, 0)
    if magic != FILE_MAGIC:
        raise ValueError(f"{name}: file magic 0x{magic:08X}")
    if total < count:
        raise ValueError(f"{name}: only {total} tests")
    offset = 8
    for index in range(count):
        if offset + 8 > len(data):
            raise ValueError(f"{name}: test {index} runs past the end")
        size, block_magic = struct.unpack_from("<II", data, offset)
        if block_magic != TEST_MAGIC or size < 8 or offset + size > len(data):
            raise ValueError(f"{name}: bad test block {index} at offset {offset}")
        offset += size
    return struct.pack("<II", FILE_MAGIC, count) + data[8:offset]


def main(argv: list[str]) -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    source = pathlib.Path(argv[1]) if len(argv) > 1 else root.parent / "shared" / "m68000-tests"
    dest = pathlib.Path(argv[2]) if len(argv) > 2 else root / "m68k" / "tests" / "vectors" / "subset"
    count = int(argv[3]) if len(argv) > 3 else 100
    files = sorted(source.glob("*.json.bin"))
    if not files:
        print(f"make-vector-subset: no *.json.bin in {source}", file=sys.stderr)
        return 1
    dest.mkdir(parents=True, exist_ok=True)
    for path in files:
        (dest / path.name).write_bytes(subset(path.read_bytes(), path.name, count))
    print(f"make-vector-subset: {len(files)} files of {count} tests each in {dest}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
