"""IMX version 2 containers: a bundle directory packed into one file.

Layout (little-endian): b"IMX\\0", u16 version, u16 member count, then one
table entry per member (u16 name length, name bytes, u64 offset, u64 size),
then the payloads wherever the offsets say.

The writer is deliberately permissive: it packs any name it is given (unsafe
ones included) and can forge the header, so that the reader's refusals can be
exercised with hostile containers.
"""
import os
import struct

MAGIC = b"IMX\0"
VERSION = 2
HEADER_BYTES = 8


class Member:
    """One payload to pack: `name` (bytes, verbatim) and either a source file
    `path` or in-memory `data`."""

    def __init__(self, name, path=None, data=None):
        if isinstance(name, str):
            name = name.encode("utf-8")
        if (path is None) == (data is None):
            raise ValueError("member %r needs exactly one of a file path or data" % name)
        self.name = name
        self.path = path
        self.data = data

    @property
    def size(self):
        return len(self.data) if self.data is not None else os.path.getsize(self.path)

    def write_to(self, out):
        """Writes the payload; returns how many bytes it had."""
        if self.data is not None:
            out.write(self.data)
            return len(self.data)
        n = 0
        with open(self.path, "rb") as f:
            while chunk := f.read(1 << 20):
                out.write(chunk)
                n += len(chunk)
        return n


def members_of_dir(bundle_dir, exclude=()):
    """Every regular file under `bundle_dir`, named by its path relative to
    it with "/" separators, in sorted order so the container is reproducible."""
    if not os.path.isdir(bundle_dir):
        raise ValueError("bundle directory %s does not exist or is not a directory" % bundle_dir)
    found = []
    for root, dirs, files in os.walk(bundle_dir):
        dirs.sort()
        for fname in sorted(files):
            full = os.path.join(root, fname)
            if not os.path.isfile(full):
                continue
            rel = os.path.relpath(full, bundle_dir).replace(os.sep, "/")
            if rel in exclude:
                continue
            found.append(Member(rel, path=full))
    found.sort(key=lambda m: m.name)
    return found


def toc_bytes(members):
    return sum(2 + len(m.name) + 16 for m in members)


def pack(members, out_path, version=VERSION, magic=MAGIC, count=None,
         scatter=False, truncate=None, offset_delta=None, size_delta=None):
    """Writes `members` to `out_path` as an IMX container.

    count:        member count to declare (default: the real number).
    scatter:      payloads in reverse table order with odd-sized gaps between
                  them, so a reader cannot rely on order, alignment or
                  contiguity.
    truncate:     final file length; negative values drop that many bytes
                  from the end.
    offset_delta / size_delta: {name bytes: int} added to a member's recorded
                  offset / size after layout (hostile tables).
    """
    if len(magic) != 4:
        raise ValueError("magic must be exactly 4 bytes, got %r" % magic)
    if not 0 <= version <= 0xFFFF:
        raise ValueError("version %d does not fit in 16 bits" % version)
    declared = len(members) if count is None else count
    if not 0 <= declared <= 0xFFFF:
        raise ValueError("member count %d does not fit in 16 bits" % declared)
    for m in members:
        if len(m.name) > 0xFFFF:
            raise ValueError("member name of %d bytes does not fit in 16 bits" % len(m.name))
    offset_delta = offset_delta or {}
    size_delta = size_delta or {}

    # Lay out payloads after the table.
    pos = HEADER_BYTES + toc_bytes(members)
    order = list(reversed(members)) if scatter else list(members)
    placed = {}
    layout = []  # (offset, member) in file order, gaps as None
    for i, m in enumerate(order):
        if scatter:
            gap = 3 + 2 * i  # odd: payloads land on unaligned offsets
            layout.append((pos, None, gap))
            pos += gap
        placed[id(m)] = pos
        layout.append((pos, m, m.size))
        pos += m.size

    # A name of this process's own: two packers of one output must not write
    # into one file, and a failed pack leaves nothing behind.
    part = "%s.%d.part" % (out_path, os.getpid())
    try:
        with open(part, "wb") as out:
            out.write(magic + struct.pack("<HH", version, declared))
            for m in members:
                off = placed[id(m)] + offset_delta.get(m.name, 0)
                size = m.size + size_delta.get(m.name, 0)
                if off < 0 or size < 0 or off >= 1 << 64 or size >= 1 << 64:
                    raise ValueError("forged offset/size of member %r leaves the u64 range" % m.name)
                out.write(struct.pack("<H", len(m.name)) + m.name + struct.pack("<QQ", off, size))
            for _, m, n in layout:
                if m is None:
                    out.write(b"\xa5" * n)
                else:
                    written = m.write_to(out)
                    if written != n:
                        raise ValueError("member %r changed size while it was packed (%d bytes, %d laid out)"
                                         % (m.name, written, n))
            total = out.tell()
            if truncate is not None:
                keep = truncate if truncate >= 0 else max(0, total + truncate)
                out.truncate(min(keep, total))
        os.replace(part, out_path)
    except BaseException:
        if os.path.exists(part):
            os.remove(part)
        raise
