#!/usr/bin/env python3
"""Writes the seed corpus of the ZIP reader fuzzer (small archives of every shape it reads)."""
import io, os, struct, sys, zipfile, zlib

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
os.makedirs(out, exist_ok=True)

def archive(entries, comment=b""):
    b = io.BytesIO()
    with zipfile.ZipFile(b, "w") as z:
        for name, data, method in entries:
            info = zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0))
            info.compress_type = method
            z.writestr(info, data)
        z.comment = comment
    return b.getvalue()

def setup(zip_bytes):
    return b"MZ" + b"\0" * 62 + zip_bytes + struct.pack("<q", len(zip_bytes)) + b"CVPAYZIP"

text = b"satir CorvaneZideroZUR\r\n" * 40
seeds = {
    "empty.zip": archive([]),
    "stored.zip": archive([("a.txt", b"hello", zipfile.ZIP_STORED)]),
    "deflate.zip": archive([("dir/", b"", zipfile.ZIP_STORED), ("dir/t.txt", text, zipfile.ZIP_DEFLATED)]),
    "utf8.zip": archive([("\u00e7ay/\u015feker.txt", b"x", zipfile.ZIP_DEFLATED)]),
    "comment.zip": archive([("a", b"b", zipfile.ZIP_STORED)], b"PK\x05\x06 comment"),
    "setup.exe": setup(archive([("CorvaneZideroZUR.exe", text, zipfile.ZIP_DEFLATED)])),
}

# A data descriptor entry, written by hand (zipfile only does so for unseekable streams).
name, data = b"d.txt", text
comp = zlib.compressobj(9, zlib.DEFLATED, -15)
c = comp.compress(data) + comp.flush()
crc = zlib.crc32(data)
local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0x0808, 8, 0, 0x21, 0, 0, 0, len(name), 0) + name + c
local += struct.pack("<IIII", 0x08074B50, crc, len(c), len(data))
uname = "\u00e7.txt".encode()
extra = struct.pack("<HHB", 0x7075, 5 + len(uname), 1) + struct.pack("<I", zlib.crc32(name)) + uname
central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0x0808, 8, 0, 0x21, crc, len(c), len(data),
                      len(name), len(extra), 0, 0, 0, 0, 0) + name + extra
end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
seeds["descriptor_unicode.zip"] = local + central + end

for n, b in seeds.items():
    with open(os.path.join(out, n), "wb") as f:
        f.write(b)
