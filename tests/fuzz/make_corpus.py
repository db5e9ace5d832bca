#!/usr/bin/env python3
"""Writes the fuzzer's seed packages into tests/fuzz/corpus."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
import package_tool as pt  # noqa: E402

T = (133000000001234567, 133000000101234568, 132000000000000009)
SEEDS = {
    "empty": pt.encode_package([]),
    "one": pt.encode_package([(".\\a.dat", T, b"hello")]),
    "nested": pt.encode_package([(".\\sub\\deep\\b.dat", T, b"b" * 3000),
                                 (".\\c.dat", T, b"")]),
    "japanese": pt.encode_package([(".\\音声\\台詞.txt", T, "こんにちは".encode())]),
    "with-prefix": b"MZ fake program image" + pt.encode_package([(".\\x.dat", T, bytes(2048))]),
    "twice": pt.encode_package([(".\\v.dat", T, b"1")]) + pt.encode_package([(".\\v.dat", T, b"2")]),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
