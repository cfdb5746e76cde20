"""The DWARF line table (.debug_line, versions 2 to 5) of a module, read only
to settle one question that llvm-symbolizer answers differently from the
in-process symbol handler: which row names an address at which the compiler
put several rows. GCC gives the instruction after a call such rows (the
empty statement after it, then the closing brace); llvm-symbolizer takes the
last of them, the handler that writes the report in-process takes the first.
Offline names must match the report of an unstripped build, so the first
row wins here too.

Limits: 32- and 64-bit DWARF units, address sizes 4 and 8; a unit whose
header this reader does not understand is left out (its addresses keep
llvm-symbolizer's answer).
"""

from array import array
from bisect import bisect_left, bisect_right
from collections import namedtuple
import struct

DW_LNS_copy, DW_LNS_advance_pc, DW_LNS_advance_line, DW_LNS_set_file = 1, 2, 3, 4
DW_LNS_const_add_pc, DW_LNS_fixed_advance_pc = 8, 9
DW_LNE_end_sequence, DW_LNE_set_address, DW_LNE_define_file = 1, 2, 3

DW_LNCT_path = 1
# Fixed sizes of the forms a version 5 file table may use; the others are
# strings, LEB128 numbers or blocks, read below.
_FIXED_FORMS = {0x0B: 1, 0x05: 2, 0x06: 4, 0x07: 8, 0x1E: 16, 0x11: 1, 0x12: 2, 0x13: 4, 0x14: 8, 0x0C: 1}
DW_FORM_string, DW_FORM_strp, DW_FORM_line_strp, DW_FORM_udata, DW_FORM_block = 0x08, 0x0E, 0x1F, 0x0F, 0x09


_Header = namedtuple("_Header", "version min_inst line_base line_range opcode_base lengths")


class _Unsupported(Exception):
    pass


class _Cursor:
    __slots__ = ("data", "pos")

    def __init__(self, data, pos):
        self.data = data
        self.pos = pos

    def u(self, size):
        v = int.from_bytes(self.data[self.pos:self.pos + size], "little")
        self.pos += size
        return v

    def uleb(self):
        result = shift = 0
        data = self.data
        while True:
            b = data[self.pos]
            self.pos += 1
            result |= (b & 0x7F) << shift
            if b < 0x80:
                return result
            shift += 7

    def sleb(self):
        result = shift = 0
        data = self.data
        while True:
            b = data[self.pos]
            self.pos += 1
            result |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                if b & 0x40:
                    result -= 1 << shift
                return result

    def cstr(self):
        end = self.data.index(b"\0", self.pos)
        s = self.data[self.pos:end].decode("utf-8", "replace")
        self.pos = end + 1
        return s


class _Sequence:
    """Rows of one address sequence, in table order (addresses never go down)."""

    __slots__ = ("start", "end", "addresses", "lines", "files", "names")

    def __init__(self, names):
        self.addresses = array("Q")
        self.lines = array("L")
        self.files = array("L")
        self.names = names


class LineTable:
    def __init__(self, debug_line, debug_line_str=b"", debug_str=b""):
        self._line_str = debug_line_str or b""
        self._str = debug_str or b""
        self.sequences = []
        pos = 0
        while pos + 4 <= len(debug_line):
            try:
                pos = self._read_unit(debug_line, pos)
            except (_Unsupported, IndexError, ValueError, ArithmeticError, struct.error):
                # A damaged unit (a line range of 0, a line or address out of
                # range): the units before stay usable.
                break
        self.sequences.sort(key=lambda s: s.start)
        self._starts = [s.start for s in self.sequences]

    def first_row(self, address):
        """(line, file name, row address) of the first row at the last row
        address at or below address, in the sequence that holds it; or None."""
        i = bisect_right(self._starts, address) - 1
        for seq in self.sequences[max(0, i - 1):i + 1][::-1]:
            if seq.start <= address < seq.end:
                at = bisect_right(seq.addresses, address) - 1
                row_address = seq.addresses[at]
                first = bisect_left(seq.addresses, row_address)
                return seq.lines[first], seq.names[seq.files[first]], row_address
        return None

    def rows_at(self, row_address):
        """Every (line, file name) recorded at exactly row_address."""
        found = []
        for seq in self.sequences:
            if seq.start <= row_address < seq.end:
                lo = bisect_left(seq.addresses, row_address)
                hi = bisect_right(seq.addresses, row_address)
                found.extend((seq.lines[k], seq.names[seq.files[k]]) for k in range(lo, hi))
        return found

    # One unit: header, file table, line program.
    def _read_unit(self, data, pos):
        c = _Cursor(data, pos)
        length = c.u(4)
        offset_size = 4
        if length == 0xFFFFFFFF:
            length = c.u(8)
            offset_size = 8
        end = c.pos + length
        version = c.u(2)
        if version < 2 or version > 5:
            raise _Unsupported("version %d" % version)
        if version >= 5:
            c.u(2)  # address and segment selector sizes
        header_length = c.u(offset_size)
        program = c.pos + header_length
        min_inst = c.u(1)
        if version >= 4:
            c.u(1)  # maximum operations per instruction: 1 on x86
        c.u(1)  # default_is_stmt
        line_base = struct.unpack("b", data[c.pos:c.pos + 1])[0]
        c.pos += 1
        line_range = c.u(1)
        opcode_base = c.u(1)
        lengths = list(data[c.pos:c.pos + opcode_base - 1])
        c.pos += opcode_base - 1
        if version >= 5:
            names = self._file_table_v5(c, offset_size)
        else:
            names = self._file_table_v4(c)
        header = _Header(version, min_inst, line_base, line_range, opcode_base, lengths)
        self._run_program(_Cursor(data, program), end, names, header)
        return end

    @staticmethod
    def _file_table_v4(c):
        directories = [""]
        while True:
            d = c.cstr()
            if not d:
                break
            directories.append(d)
        names = [""]  # version 2 to 4 files count from 1
        while True:
            name = c.cstr()
            if not name:
                break
            d = c.uleb()
            c.uleb()
            c.uleb()
            names.append(_join(directories[d] if d < len(directories) else "", name))
        return names

    def _file_table_v5(self, c, offset_size):
        directories = self._entries_v5(c, offset_size)
        files = self._entries_v5(c, offset_size)
        names = []
        for path, d in files:
            names.append(_join(directories[d][0] if d is not None and d < len(directories) else "", path or ""))
        return names

    def _entries_v5(self, c, offset_size):
        formats = [(c.uleb(), c.uleb()) for _ in range(c.u(1))]
        count = c.uleb()
        # Each entry takes a byte at least: a larger count is damage, which
        # would otherwise run for ever (entries of no formats read nothing).
        if count and (not formats or count > len(c.data) - c.pos):
            raise _Unsupported("%d file entries" % count)
        entries = []
        for _ in range(count):
            path, directory = None, None
            for kind, form in formats:
                value = self._form(c, form, offset_size)
                if kind == DW_LNCT_path:
                    path = value
                elif kind == 2:  # DW_LNCT_directory_index
                    directory = value
            entries.append((path, directory))
        return entries

    def _form(self, c, form, offset_size):
        if form == DW_FORM_string:
            return c.cstr()
        if form in (DW_FORM_line_strp, DW_FORM_strp):
            at = c.u(offset_size)
            table = self._line_str if form == DW_FORM_line_strp else self._str
            end = table.find(b"\0", at)
            return table[at:end].decode("utf-8", "replace") if end >= 0 else ""
        if form == DW_FORM_udata:
            return c.uleb()
        if form == DW_FORM_block:
            c.pos += c.uleb()
            return None
        size = _FIXED_FORMS.get(form)
        if size is None:
            raise _Unsupported("form 0x%X" % form)
        return c.u(size)

    def _run_program(self, c, end, names, header):
        version, min_inst, line_base, line_range, opcode_base, lengths = header
        data = c.data
        address, file, line = 0, 1, 1
        seq = _Sequence(names)
        while c.pos < end:
            op = data[c.pos]
            c.pos += 1
            if op >= opcode_base:
                adjusted = op - opcode_base
                address += (adjusted // line_range) * min_inst
                line += line_base + adjusted % line_range
                _emit(seq, address, line, file)
            elif op == DW_LNS_copy:
                _emit(seq, address, line, file)
            elif op == DW_LNS_advance_pc:
                address += c.uleb() * min_inst
            elif op == DW_LNS_advance_line:
                line += c.sleb()
            elif op == DW_LNS_set_file:
                file = c.uleb()
            elif op == DW_LNS_const_add_pc:
                address += ((255 - opcode_base) // line_range) * min_inst
            elif op == DW_LNS_fixed_advance_pc:
                address += c.u(2)
            elif op == 0:
                size = c.uleb()
                after = c.pos + size
                sub = data[c.pos] if size else 0
                if sub == DW_LNE_end_sequence:
                    if len(seq.addresses):
                        seq.start = seq.addresses[0]
                        seq.end = address
                        self.sequences.append(seq)
                    seq = _Sequence(names)
                    address, file, line = 0, 1, 1
                elif sub == DW_LNE_set_address:
                    address = int.from_bytes(data[c.pos + 1:after], "little")
                elif sub == DW_LNE_define_file and version <= 4:
                    inner = _Cursor(data, c.pos + 1)
                    name = inner.cstr()
                    names.append(name)
                c.pos = after
            else:
                # Standard opcodes without effect on address or line (column,
                # statement and block flags, ISA), and unknown ones: skip
                # their arguments as the header counts them.
                for _ in range(lengths[op - 1]):
                    c.uleb()


def _emit(seq, address, line, file):
    seq.addresses.append(address)
    seq.lines.append(line)
    seq.files.append(file if 0 <= file < len(seq.names) else 0)


def _join(directory, name):
    if not directory or name.startswith("/") or (len(name) > 2 and name[1] == ":"):
        return name
    return directory.rstrip("/\\") + "/" + name


def base_name(path):
    return path.replace("\\", "/").rsplit("/", 1)[-1]
