"""What offline symbolisation needs from a PE file (an .exe, a .dll, or the
separate debug file that objcopy --only-keep-debug makes of one): the
preferred image base, the image size, the sections (with the long names
MinGW stores in the COFF string table) and the PDB named by its CodeView
debug record. Reads headers and tables only, never the whole file.
"""

import os
import struct

IMAGE_DEBUG_TYPE_CODEVIEW = 2


class NotPE(Exception):
    pass


class Section:
    __slots__ = ("name", "rva", "virtual_size", "raw_offset", "raw_size")

    def __init__(self, name, rva, virtual_size, raw_offset, raw_size):
        self.name = name
        self.rva = rva
        self.virtual_size = virtual_size
        self.raw_offset = raw_offset
        self.raw_size = raw_size

    def data_size(self):
        # The raw size is rounded up to the file alignment; the virtual size is
        # the real one, except in objects that leave it 0.
        if 0 < self.virtual_size <= self.raw_size:
            return self.virtual_size
        return self.raw_size


class PEImage:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self._read_headers(f)
            self.pdb_name = self._read_codeview(f)

    def _read_headers(self, f):
        dos = f.read(64)
        if len(dos) < 64 or dos[:2] != b"MZ":
            raise NotPE("no MZ header")
        (pe_offset,) = struct.unpack_from("<I", dos, 60)
        f.seek(pe_offset)
        head = f.read(24)
        if len(head) < 24 or head[:4] != b"PE\0\0":
            raise NotPE("no PE signature")
        (self.machine, sections, _, symbols_at, symbols, optional_size, _) = struct.unpack_from("<HHIIIHH", head, 4)
        optional = f.read(optional_size)
        if len(optional) < 96:
            raise NotPE("optional header too short")
        (magic,) = struct.unpack_from("<H", optional, 0)
        if magic == 0x10B:
            (self.image_base,) = struct.unpack_from("<I", optional, 28)
            directories_at = 96
        elif magic == 0x20B:
            (self.image_base,) = struct.unpack_from("<Q", optional, 24)
            directories_at = 112
        else:
            raise NotPE("unknown optional header 0x%X" % magic)
        (self.image_size,) = struct.unpack_from("<I", optional, 56)
        (directory_count,) = struct.unpack_from("<I", optional, directories_at - 4)
        self.debug_directory = (0, 0)
        if directory_count > 6 and len(optional) >= directories_at + 7 * 8:
            self.debug_directory = struct.unpack_from("<II", optional, directories_at + 6 * 8)
        table = f.read(40 * sections)
        strings = self._read_string_table(f, symbols_at, symbols)
        self.sections = []
        for i in range(len(table) // 40):
            raw_name, vsize, rva, rsize, roff = struct.unpack_from("<8sIIII", table, i * 40)
            self.sections.append(Section(self._section_name(raw_name, strings), rva, vsize, roff, rsize))

    @staticmethod
    def _read_string_table(f, symbols_at, symbols):
        if symbols_at == 0:
            return b""
        f.seek(symbols_at + 18 * symbols)
        size = f.read(4)
        if len(size) < 4:
            return b""
        (length,) = struct.unpack("<I", size)
        return size + f.read(max(0, min(length, 1 << 24) - 4))

    @staticmethod
    def _section_name(raw, strings):
        name = raw.rstrip(b"\0")
        if name.startswith(b"/") and name[1:].isdigit() and strings:
            at = int(name[1:])
            end = strings.find(b"\0", at)
            name = strings[at:end if end >= 0 else len(strings)]
        return name.decode("latin-1")

    def section(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def read_section(self, name):
        s = self.section(name)
        if s is None or s.raw_offset == 0:
            return None
        with open(self.path, "rb") as f:
            f.seek(s.raw_offset)
            return f.read(s.data_size())

    def has_dwarf(self):
        return self.section(".debug_info") is not None and self.section(".debug_line") is not None

    def _rva_to_offset(self, rva):
        for s in self.sections:
            if s.rva <= rva < s.rva + max(s.virtual_size, s.raw_size) and s.raw_offset:
                return s.raw_offset + rva - s.rva
        return None

    def _read_codeview(self, f):
        """The PDB file name of the CodeView record, or None."""
        rva, size = self.debug_directory
        at = self._rva_to_offset(rva) if rva else None
        if at is None:
            return None
        f.seek(at)
        entries = f.read(min(size, 28 * 16))
        for i in range(len(entries) // 28):
            kind, data_size, _, data_at = struct.unpack_from("<IIII", entries, i * 28 + 12)
            if kind != IMAGE_DEBUG_TYPE_CODEVIEW or data_at == 0:
                continue
            f.seek(data_at)
            record = f.read(min(data_size, 1024))
            if record[:4] == b"RSDS" and len(record) > 24:
                return record[24:].split(b"\0", 1)[0].decode("utf-8", "replace")
            if record[:4] == b"NB10" and len(record) > 16:
                return record[16:].split(b"\0", 1)[0].decode("latin-1")
        return None

    def pdb_beside(self):
        """The path of the PDB its CodeView record names, when it lies beside
        the image (where llvm-symbolizer looks for it), else None."""
        if not self.pdb_name:
            return None
        base = self.pdb_name.replace("\\", "/").rsplit("/", 1)[-1]
        candidate = os.path.join(os.path.dirname(self.path), base)
        return candidate if os.path.isfile(candidate) else None
