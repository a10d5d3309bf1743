#!/usr/bin/env python3
"""Writes the fuzz corpus's file descriptions (pst-fixture --json) into the folder given.

Each description is a small file of an odd shape: nameless and deep folders, items under the
root folder, every value type, values large enough for a subnode and for a data tree, a
contents table whose rows no longer fit in its heap, ANSI and each block encoding.
"""
import json
import pathlib
import sys


def contact(name, extra=()):
    return {"class": "IPM.Contact", "props": [{"tag": "0x3A06", "type": "unicode", "value": name}, *extra]}


EVERY_TYPE = [
    {"tag": "0x3A11", "type": "string8", "value": "Caf\u00e9"},
    {"tag": "0x3A4D", "type": "short", "value": 2},
    {"tag": "0x3A08", "type": "long", "value": 5551234},
    {"tag": "0x3A40", "type": "bool", "value": True},
    {"tag": "0x3A42", "type": "systime", "value": "1980-05-17"},
    {"tag": "0x3A09", "type": "0x0005", "hex": "000000000000F03F"},
    {"tag": "0x3A0A", "type": "0x0014", "hex": "0102030405060708"},
    {"tag": "0x0FFF", "type": "binary", "hex": "00112233445566778899AABBCCDDEEFF"},
    {"tag": "0x3A0B", "type": "multi_long", "value": [1, 2, 3]},
    {"set": "public", "name": "Keywords", "type": "multi_unicode", "value": ["VIP", "\U0001D49C"]},
    {"set": "address", "lid": "0x8005", "type": "unicode", "value": "Doe, Anna"},
    {"set": "{00062004-0000-0000-C000-000000000046}", "name": "odd", "type": "long", "value": 7},
    {"tag": "0x6001", "type": "0x0000", "hex": "01020304"},
    {"tag": "0x6002", "type": "short", "hex": "01"},
]

DESCRIPTIONS = {
    "shapes": {
        "folders": [
            {"name": "Contacts", "class": "IPF.Contact",
             "messages": [contact("Anna", EVERY_TYPE), contact("Bo")],
             "folders": [{"class": "IPF.Contact", "messages": [contact("nameless")],
                          "folders": [{"name": "deep", "folders": [{"name": "deeper",
                                                                    "messages": [contact("deepest")]}]}]}]},
            {"name": "", "class": "", "messages": [{"class": "IPM.Note"}]},
        ],
        "messages": [{"parent": "root", "class": "IPM.Contact", "props": []},
                     {"parent": "deleted", "class": "ipm.contact"}],
    },
    # A 3,000-byte value stays in the heap, 5,000 bytes go to a subnode, 20,000 bytes to a data tree.
    "large_values": {
        "folders": [{"name": "Big", "class": "IPF.Contact", "messages": [
            contact("heap", [{"tag": "0x1000", "type": "unicode", "value": "h" * 1500}]),
            contact("subnode", [{"tag": "0x1000", "type": "unicode", "value": "s" * 2500}]),
            contact("tree", [{"tag": "0x1000", "type": "unicode", "value": "t" * 10000},
                             {"tag": "0x0FFF", "type": "binary", "hex": "AB" * 9000}]),
        ]}],
    },
    # Enough rows that the contents table's row matrix leaves the heap for a subnode.
    "many_rows": {
        "folders": [{"name": "Many", "class": "IPF.Contact",
                     "messages": [dict(contact("row"), repeat=60)]}],
    },
    "ansi_permute": {
        "format": "ansi", "encoding": "permute",
        "folders": [{"name": "Kontakte", "class": "IPF.Contact",
                     "messages": [contact("Jos\u00e9", EVERY_TYPE[:6]), contact("Zo\u00eb")]}],
    },
    "unicode_cyclic": {
        "encoding": "cyclic",
        "folders": [{"name": "C", "class": "IPF.Contact",
                     "messages": [contact("cyc", [{"tag": "0x1000", "type": "unicode", "value": "c" * 5000}])]}],
    },
}


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, description in DESCRIPTIONS.items():
        (out / f"{name}.json").write_text(json.dumps(description), encoding="utf-8")


if __name__ == "__main__":
    main()
