#!/usr/bin/env python3
"""Decodes a .bgeo file (the 3D host's binary JSON) and prints it as JSON text.

Written apart from the program's own reader, from the format's description,
so that the tests compare the program's output with an independent decoding.
"""
import json
import struct
import sys

MAGIC = 0x624A534E
SCALARS = {
    0x11: "<b", 0x12: "<h", 0x13: "<i", 0x14: "<q", 0x21: "<B", 0x22: "<H",
    0x18: "<e", 0x19: "<f", 0x1A: "<d",
}


class Decoder:
    def __init__(self, data):
        self.data = data
        self.pos = 0
        self.tokens = {}

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("truncated at byte %d" % self.pos)
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def unpack(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]

    def length(self):
        first = self.unpack("<B")
        if first < 0xF1:
            return first
        widths = {0xF2: "<H", 0xF4: "<I", 0xF8: "<Q"}
        if first not in widths:
            raise ValueError("bad length marker 0x%02x" % first)
        return self.unpack(widths[first])

    def string(self):
        return self.take(self.length()).decode("utf-8")

    def next_token(self):
        while True:
            t = self.unpack("<B")
            if t == 0x2B:  # define a string token
                ident = self.length()
                self.tokens[ident] = self.string()
            elif t == 0x2D:
                self.tokens.pop(self.length(), None)
            else:
                return t

    def value(self, t):
        if t == 0x5B:
            items = []
            while True:
                nxt = self.next_token()
                if nxt == 0x5D:
                    return items
                items.append(self.value(nxt))
        if t == 0x7B:
            result = {}
            while True:
                nxt = self.next_token()
                if nxt == 0x7D:
                    return result
                key = self.value(nxt)
                result[key] = self.value(self.next_token())
        if t == 0x40:
            kind = self.unpack("<B")
            count = self.length()
            if kind == 0x10:
                words = [self.unpack("<I") for _ in range((count + 31) // 32)]
                return [bool(words[i // 32] >> (i % 32) & 1) for i in range(count)]
            fmt = SCALARS[kind]
            return list(struct.unpack("<%d%s" % (count, fmt[1]), self.take(count * struct.calcsize(fmt))))
        if t in SCALARS:
            return self.unpack(SCALARS[t])
        if t == 0x27:
            return self.string()
        if t == 0x26:
            return self.tokens[self.length()]
        if t == 0x30:
            return False
        if t == 0x31:
            return True
        if t == 0x10:
            return self.unpack("<B") != 0
        if t == 0x00:
            return None
        raise ValueError("unknown token 0x%02x at byte %d" % (t, self.pos - 1))

    def document(self):
        if self.unpack("<B") != 0x7F or self.unpack("<I") != MAGIC:
            raise ValueError("no binary JSON magic number")
        doc = self.value(self.next_token())
        if self.pos != len(self.data):
            raise ValueError("%d bytes after the document" % (len(self.data) - self.pos))
        return doc


if __name__ == "__main__":
    with open(sys.argv[1], "rb") as f:
        json.dump(Decoder(f.read()).document(), sys.stdout)
