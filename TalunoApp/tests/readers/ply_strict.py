#!/usr/bin/env python3
"""A strict PLY reader written from the format's description (Greg Turk,
"The PLY Polygon File Format"), apart from the program's writer. It refuses
anything the description does not allow, then prints, as JSON, every
element with its count and its properties' types, and for each scalar
property of the first element the smallest and largest value.

    ply_strict.py FILE

Exits with status 1 and a message on standard error for a malformed file."""
import json
import struct
import sys

SCALARS = {  # name: (struct code, size)
    "char": ("b", 1), "uchar": ("B", 1), "short": ("h", 2), "ushort": ("H", 2), "int": ("i", 4),
    "uint": ("I", 4), "float": ("f", 4), "double": ("d", 8),
    "int8": ("b", 1), "uint8": ("B", 1), "int16": ("h", 2), "uint16": ("H", 2), "int32": ("i", 4),
    "uint32": ("I", 4), "float32": ("f", 4), "float64": ("d", 8),
}


def fail(message):
    sys.stderr.write("ply_strict: " + message + "\n")
    sys.exit(1)


def main(path):
    data = open(path, "rb").read()
    end = data.find(b"end_header\n")
    if not data.startswith(b"ply\n") or end < 0:
        fail("no 'ply' magic line or no 'end_header'")
    lines = data[:end].decode("ascii").split("\n")[1:-1]
    if not lines or lines[0] not in ("format binary_little_endian 1.0", "format ascii 1.0",
                                     "format binary_big_endian 1.0"):
        fail("the second line must be a format line, not %r" % (lines[0] if lines else ""))
    fmt = lines[0].split()[1]
    elements = []
    for line in lines[1:]:
        words = line.split()
        if not words or words[0] in ("comment", "obj_info"):
            continue
        if words[0] == "element":
            if len(words) != 3 or not words[2].isdigit():
                fail("bad element line %r" % line)
            elements.append({"name": words[1], "count": int(words[2]), "properties": []})
        elif words[0] == "property":
            if not elements:
                fail("a property before any element")
            props = elements[-1]["properties"]
            if words[1] == "list":
                if len(words) != 5 or words[2] not in SCALARS or words[3] not in SCALARS:
                    fail("bad list property %r" % line)
                props.append({"name": words[4], "type": "list", "count": words[2], "item": words[3]})
            else:
                if len(words) != 3 or words[1] not in SCALARS:
                    fail("bad property %r" % line)
                props.append({"name": words[2], "type": words[1]})
            if [p["name"] for p in props].count(props[-1]["name"]) > 1:
                fail("property %r appears twice in element %r" % (props[-1]["name"], elements[-1]["name"]))
        else:
            fail("unknown header line %r" % line)
    if fmt != "binary_little_endian":
        fail("this reader checks binary little-endian files only")
    at = end + len(b"end_header\n")
    ranges = {}
    for index, element in enumerate(elements):
        for _ in range(element["count"]):
            for prop in element["properties"]:
                if prop["type"] == "list":
                    code, size = SCALARS[prop["count"]]
                    if at + size > len(data):
                        fail("the data ends inside element %r" % element["name"])
                    (n,) = struct.unpack_from("<" + code, data, at)
                    at += size
                    code, size = SCALARS[prop["item"]]
                    at += n * size
                    continue
                code, size = SCALARS[prop["type"]]
                if at + size > len(data):
                    fail("the data ends inside element %r" % element["name"])
                (value,) = struct.unpack_from("<" + code, data, at)
                at += size
                if index == 0:
                    lo, hi = ranges.get(prop["name"], (value, value))
                    ranges[prop["name"]] = (min(lo, value), max(hi, value))
    if at != len(data):
        fail("%d bytes follow the last element" % (len(data) - at))
    json.dump({"elements": elements, "ranges": ranges}, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1])
