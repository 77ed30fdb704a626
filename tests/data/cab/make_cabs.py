#!/usr/bin/env python3
"""Writes the hand-made cabinets of this folder: broken and hostile ones that
no cabinet tool would produce, and one LZX cabinet (stored LZX blocks) for a
method the Debian tools cannot write; also a small LZX seed for the cabinet
fuzz corpus. Run it from anywhere; it rewrites the files next to itself. The
tests only read the files."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "..", "fuzz", "corpus", "cabinet")
DATE = (2004 - 1980) << 9 | 5 << 5 | 6   # 2004-05-06
TIME = 7 << 11 | 8 << 5 | 9 // 2         # 07:08:08

STORED, MSZIP, LZX15 = 0, 1, 3 | 15 << 8


def cabinet(files, blocks, comp=STORED, folders=None, cfiles=None, cfolders=None,
            checksum=0):
    """files: [(name, length, offset, folder_index)], blocks: [(data, uncompressed)]."""
    header_size = 36
    folder_count = 1 if folders is None else folders
    file_entries = b"".join(
        struct.pack("<IIHHHH", length, offset, folder, DATE, TIME, 0x20) +
        name.encode("latin-1") + b"\0"
        for name, length, offset, folder in files)
    files_offset = header_size + 8 * folder_count
    data_offset = files_offset + len(file_entries)
    data = b"".join(struct.pack("<IHH", checksum, len(d), u) + d for d, u in blocks)
    folder_entries = b"".join(
        struct.pack("<IHH", data_offset, len(blocks), comp) for _ in range(folder_count))
    total = data_offset + len(data)
    head = b"MSCF" + struct.pack(
        "<IIIIIBBHHHHH", 0, total, 0, files_offset, 0, 3, 1,
        folder_count if cfolders is None else cfolders,
        len(files) if cfiles is None else cfiles, 0, 0x4B45, 0)
    return head + folder_entries + file_entries + data


def stored(*contents):
    """One stored folder holding the contents in order: (files, blocks)."""
    files, offset, data = [], 0, b""
    for name, content in contents:
        files.append((name, len(content), offset, 0))
        offset += len(content)
        data += content
    blocks = [(data[i:i + 32768], len(data[i:i + 32768])) for i in range(0, len(data), 32768)]
    return files, blocks or [(b"", 0)]


class Bits:
    """LZX bit writer: bits go most significant first into 16-bit
    little-endian words."""

    def __init__(self):
        self.out, self.acc, self.n = bytearray(), 0, 0

    def put(self, value, count):
        for i in reversed(range(count)):
            self.acc = self.acc << 1 | (value >> i & 1)
            self.n += 1
            if self.n == 16:
                self.out += struct.pack("<H", self.acc)
                self.acc, self.n = 0, 0

    def align(self):
        if self.n:
            self.put(0, 16 - self.n)


def lzx_stored(content):
    """An LZX stream of one uncompressed block, split into 32 KiB frames."""
    bits = Bits()
    bits.put(0, 1)                   # no E8 translation
    bits.put(3, 3)                   # uncompressed block
    bits.put(len(content) >> 8, 16)  # block length, high 16 bits
    bits.put(len(content) & 0xFF, 8)
    bits.align()
    head = bytes(bits.out) + struct.pack("<III", 1, 1, 1)  # R0, R1, R2
    blocks, first = [], True
    for i in range(0, len(content), 32768):
        chunk = content[i:i + 32768]
        blocks.append(((head if first else b"") + chunk, len(chunk)))
        first = False
    return blocks


def mszip(content):
    """MSZIP blocks of the content: "CK" and a deflate stream per 32 KiB."""
    blocks = []
    for i in range(0, len(content), 32768):
        chunk = content[i:i + 32768]
        packer = zlib.compressobj(9, zlib.DEFLATED, -15)
        blocks.append((b"CK" + packer.compress(chunk) + packer.flush(), len(chunk)))
    return blocks


def overlapping(count, folders=1):
    """A bomb: count entries that all cover the same 32 KiB of zeros, spread
    over folders that all start at that one data block."""
    files = [("%04d.bin" % i, 32768, 0, i % folders) for i in range(count)]
    return cabinet(files, mszip(bytes(32768)), comp=MSZIP, folders=folders)


def write(name, data, folder=HERE):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    good = b"inside the target folder\n"
    evil = b"written outside the target folder\n"

    for name, entry in [("traversal-dotdot.cab", "..\\..\\evil.txt"),
                        ("traversal-forward.cab", "sub/../../evil.txt"),
                        ("traversal-absolute.cab", "\\kestrel-cab-test-evil.txt"),
                        ("traversal-drive.cab", "C:\\evil.txt"),
                        ("traversal-dots.cab", "sub\\...\\.. \\evil.txt")]:
        write(name, cabinet(*stored(("good.txt", good), (entry, evil))))

    files, blocks = stored(("a.txt", b"A" * 1000), ("b.txt", b"B" * 1000))
    whole = cabinet(files, blocks)
    write("bad-signature.cab", b"MSCX" + whole[4:])
    write("truncated-header.cab", whole[:30])
    write("truncated-entries.cab", whole[:60])
    write("truncated-data.cab", whole[:-700])
    write("bad-checksum.cab", cabinet(files, blocks, checksum=0x12345678))
    write("bad-folder-index.cab",
          cabinet([("a.txt", 1000, 0, 7)], blocks))
    write("file-beyond-folder.cab",
          cabinet([("a.txt", 1000, 0, 0), ("huge.txt", 0x7FFFFFFF, 1000, 0)], blocks))
    write("many-entries-claimed.cab", cabinet(files, blocks, cfiles=65535))
    write("many-folders-claimed.cab", cabinet(files, blocks, cfolders=65535))
    write("no-data-blocks.cab", cabinet([("a.txt", 5000, 0, 0)], []))
    write("oversized-block.cab",
          cabinet([("a.txt", 40000, 0, 0)], [(b"x" * 40000, 40000 & 0xFFFF)]))
    write("mszip-garbage.cab",
          cabinet([("a.txt", 3000, 0, 0)], [(b"CK" + bytes(range(97, 123)) * 20, 3000)],
                  comp=MSZIP))

    # 230 KB that would write 300 MB; the same over a thousand folders that
    # share their data block, so that counting each folder's blocks alone
    # would vouch for 32 MB; and two entries of one data, which a cabinet
    # maker may write.
    write("overlapping-entries.cab", overlapping(9200))
    write("shared-folders.cab", overlapping(2000, folders=1000))
    content = bytes(i % 251 for i in range(40000))
    write("shared-data.cab",
          cabinet([("one.bin", len(content), 0, 0), ("two.bin", len(content), 0, 0)],
                  stored(("one.bin", content))[1]))
    write("overlapping-small.cab", overlapping(300), CORPUS)
    # Names the cabinet fuzz target has planted links and old files under.
    files, blocks = stored(("a.txt", b"new a\n"), ("empty", b"not through the link\n"),
                           ("lzx\\seed.txt", b"not into the linked folder\n"),
                           ("sub\\b.txt", b"B" * 3000))
    planted = cabinet(files, blocks)
    write("planted-names.cab", planted, CORPUS)
    write("planted-names-cut.cab", planted[:-1500], CORPUS)

    write("lzx-stored-blocks.cab",
          cabinet([("lzx\\pattern.bin", len(content), 0, 0)], lzx_stored(content), comp=LZX15))
    small = b"lzx seed " * 12
    write("lzx-small.cab",
          cabinet([("lzx\\seed.txt", len(small), 0, 0)], lzx_stored(small), comp=LZX15), CORPUS)


if __name__ == "__main__":
    main()
