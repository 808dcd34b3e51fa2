#!/usr/bin/env python3
"""Edits a zip archive as a tool that changes one entry does.

Usage: edit_zip.py ARCHIVE EDIT_FILE

The archive is read with Python's zipfile. EDIT_FILE holds Python code run
with `contents` (entry name -> inflated bytes), `names` (the entries in
order; drop or add names to remove or add entries) and `comment` (bytes).
The archive is then written again: every entry whose content the edit left
alone keeps its stored bytes as they are, every other one is deflated anew
with zlib, and the comment is the edited one. When the edit sets
`forge_manifest`, a manifest is added last that lists every other entry as
it is stored (what a forger without the key can make), with the row counts
of `rows` (entry name -> count).
"""
import hashlib
import os
import struct
import sys
import zipfile
import zlib

path, edit = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
with zipfile.ZipFile(path) as z:
    infos = {i.filename: i for i in z.infolist()}
    names = [i.filename for i in z.infolist()]
    contents = {name: z.read(name) for name in names}
    comment = z.comment
original = dict(contents)
scope = {"contents": contents, "names": names, "comment": comment}
exec(open(edit).read(), scope)
names, comment = scope["names"], scope["comment"]
manifest = b"vaultrun manifest 1\n" if scope.get("forge_manifest") else None

out, central = bytearray(), bytearray()
for name in names + (["vaultrun-manifest.txt"] if manifest else []):
    if name == "vaultrun-manifest.txt" and manifest:
        contents[name] = manifest + b"end\n"
    raw_name = name.encode("utf-8")
    info = infos.get(name)
    if info is not None and contents[name] == original[name]:
        at = info.header_offset
        name_size, extra_size = struct.unpack("<HH", data[at + 26:at + 30])
        start = at + 30 + name_size + extra_size
        stored = data[start:start + info.compress_size]
        crc, size, method = info.CRC, info.file_size, info.compress_type
    else:
        deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
        stored = deflater.compress(contents[name]) + deflater.flush()
        crc, size, method = zlib.crc32(contents[name]), len(contents[name]), zipfile.ZIP_DEFLATED
    if manifest and name != "vaultrun-manifest.txt":
        rows = scope.get("rows", {}).get(name, "-")
        manifest += b"entry %s %d %d %s %s\n" % (hashlib.sha256(stored).hexdigest().encode(),
                                                 len(stored), size, str(rows).encode(),
                                                 name.encode())
    offset = len(out)
    out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc, len(stored),
                       size, len(raw_name), 0) + raw_name + stored
    central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0, 0x21, crc,
                           len(stored), size, len(raw_name), 0, 0, 0, 0, 0, offset) + raw_name
count = len(names) + (1 if manifest else 0)
end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central), len(out),
                  len(comment))
with open(path + ".edited", "wb") as f:
    f.write(bytes(out + central + end + comment))
os.replace(path + ".edited", path)
