"""Offline names for addresses the report could not name: the developer's own
debug files, read through llvm-symbolizer.

For each address without a function name:
1. the module comes from the frame (or the summary line); its load address
   from the report's module table, matched on the module's base name;
2. the debug file comes from the --symbols folders, matched on the module's
   file name: "NAME.debug" or "STEM.debug" (objcopy --only-keep-debug), or a
   copy of the module itself that carries DWARF or names a PDB lying beside
   it (llvm-symbolizer reads the PDB through the module);
3. the address becomes the module offset plus the debug file's preferred
   image base, which is how llvm-symbolizer takes a PE's addresses;
4. llvm-symbolizer gives function (its short name, as the in-process handler
   prints it), its start, file and line. Where the DWARF line table holds
   several rows at the address, the first one's line is taken, as the
   in-process handler takes it.

Limits: debug files are matched by name, not by build: files of another
build of the module give wrong names. A PDB is read only through its module
(llvm-symbolizer cannot open a PDB alone). A report without a module table is
taken to have loaded the module at its preferred base.
"""

import json
import os
import shutil
import subprocess

from .dwarf_lines import LineTable, base_name
from .pe_image import NotPE, PEImage

_BATCH = 64  # queries in flight: keeps both pipes far below their buffers
_CACHE_LIMIT = 200000


def find_symbolizer(explicit=None):
    """The llvm-symbolizer program to run, or None."""
    if explicit:
        return shutil.which(explicit) or (explicit if os.path.isfile(explicit) else None)
    for name in ["llvm-symbolizer"] + ["llvm-symbolizer-%d" % v for v in range(20, 10, -1)]:
        found = shutil.which(name)
        if found:
            return found
    return None


class DebugFile:
    def __init__(self, path, image):
        self.path = path
        self.image = image
        self._lines = None

    def line_table(self):
        if self._lines is None:
            data = None
            if self.image.has_dwarf():
                data = self.image.read_section(".debug_line")
            self._lines = LineTable(data or b"", self.image.read_section(".debug_line_str"),
                                    self.image.read_section(".debug_str")) if data else False
        return self._lines or None

    def contains(self, va):
        return self.image.image_base <= va < self.image.image_base + self.image.image_size


class DebugFolders:
    """The files of the --symbols folders, found by their lower-case names."""

    def __init__(self, folders):
        self._by_name = {}
        for folder in folders:
            for root, dirs, files in os.walk(folder):
                dirs.sort()
                for name in sorted(files):
                    self._by_name.setdefault(name.lower(), os.path.join(root, name))
        self._debug_files = {}

    def debug_file(self, module):
        key = module.lower()
        if key not in self._debug_files:
            self._debug_files[key] = self._find(key)
        return self._debug_files[key]

    def _find(self, module):
        stem = module.rsplit(".", 1)[0]
        for name in (module + ".debug", stem + ".debug", module):
            path = self._by_name.get(name)
            if path is None:
                continue
            try:
                image = PEImage(path)
            except (OSError, NotPE):
                continue
            if image.has_dwarf() or image.pdb_beside() or (image.pdb_name and os.path.isfile(image.pdb_name)):
                return DebugFile(path, image)
        return None


class Symbolizer:
    """One llvm-symbolizer process, fed "path" 0xADDRESS lines, answering one
    JSON line each."""

    def __init__(self, program):
        self._process = subprocess.Popen(
            [program, "--output-style=JSON", "--functions=short", "--no-inlines"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            universal_newlines=True, encoding="utf-8", errors="replace", bufsize=1)
        self._cache = {}

    def lookup(self, queries):
        """Answers for (path, va) queries, in their order: dicts with
        FunctionName, StartAddress, FileName, Line; None where it has none."""
        missing = [q for q in dict.fromkeys(queries) if q not in self._cache]
        if len(self._cache) + len(missing) > _CACHE_LIMIT:
            self._cache.clear()
            missing = list(dict.fromkeys(queries))
        for i in range(0, len(missing), _BATCH):
            self._ask(missing[i:i + _BATCH])
        return [self._cache.get(q) for q in queries]

    def _ask(self, batch):
        # Forward slashes: llvm-symbolizer takes them on Windows too, and a
        # backslash before the closing quote would escape it.
        lines = "".join('"%s" 0x%X\n' % (path.replace("\\", "/"), va) for path, va in batch)
        try:
            self._process.stdin.write(lines)
            self._process.stdin.flush()
            answers = [self._process.stdout.readline() for _ in batch]
        except (OSError, ValueError):
            answers = [""] * len(batch)  # the process is gone: no names from here on
        for query, answer in zip(batch, answers):
            self._cache[query] = _first_symbol(answer)

    def close(self):
        try:
            self._process.stdin.close()
            self._process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self._process.kill()


def _first_symbol(answer):
    try:
        record = json.loads(answer)
    except ValueError:
        return None
    symbols = record.get("Symbol") or []
    if not symbols:
        return None
    symbol = symbols[0]
    if symbol.get("FunctionName") in (None, "", "??"):
        return None
    return symbol


class OfflineNames:
    def __init__(self, folders, program):
        self.folders = DebugFolders(folders)
        self.symbolizer = Symbolizer(program)
        self.resolved = 0
        self._names = {}  # (debug file, address): the fields a location gets

    def close(self):
        self.symbolizer.close()

    def resolve(self, report):
        """Fills function, file and line of every location of the report that
        has no function name and lies in a module with a debug file."""
        bases = _module_bases(report)
        wanted = []
        locations = ([report["fault"]] if report["fault"] else []) + report["frames"]
        for loc in locations:
            if loc["function"] is None:
                target = self._target(loc, bases)
                if target is not None:
                    wanted.append((loc, target))
        if not wanted:
            return
        answers = self.symbolizer.lookup([(debug.path, va) for _, (debug, va) in wanted])
        for (loc, (debug, va)), symbol in zip(wanted, answers):
            if symbol is None:
                continue
            key = (debug.path, va)
            names = self._names.get(key)
            if names is None:
                if len(self._names) > _CACHE_LIMIT:
                    self._names.clear()
                names = self._names[key] = _names_of(debug, va, symbol)
            loc.update(names)
            self.resolved += 1

    def _target(self, loc, bases):
        """(debug file, address in the debug file) for a location, or None."""
        address = int(loc["address"], 16)
        module = loc["module"] or _module_at(address, bases)
        if module is None:
            return None
        debug = self.folders.debug_file(module)
        if debug is None:
            return None
        row = bases.get(module.lower())
        va = address - row[1] + debug.image.image_base if row is not None else address
        if not debug.contains(va):
            return None
        if loc["module"] is None:
            loc["module"] = module
        if loc["module_offset"] is None:
            loc["module_offset"] = "0x%X" % (va - debug.image.image_base)
        return debug, va


def _module_bases(report):
    """{lower-case base name: (base name, load address)} of the module table."""
    bases = {}
    for row in report["modules"]:
        name = base_name(row["path"])
        bases.setdefault(name.lower(), (name, int(row["base"], 16)))
    return bases


def _module_at(address, bases):
    """The module of the table with the highest base at or below address."""
    below = [row for row in bases.values() if row[1] <= address]
    return max(below, key=lambda row: row[1])[0] if below else None


def _names_of(debug, va, symbol):
    """The fields of a location named by llvm-symbolizer's answer."""
    start = symbol.get("StartAddress")
    names = {
        "function": symbol["FunctionName"],
        "resolved": "offline",
        "function_offset": va - int(start, 16) if start else None,
        "file": symbol.get("FileName") or None,
        "line": symbol.get("Line") or None,
        "line_offset": None,
    }
    if names["file"] and names["line"]:
        _first_row_line(names, debug, va)
    return names


def _first_row_line(loc, debug, va):
    table = debug.line_table()
    found = table.first_row(va) if table else None
    if found is None:
        return
    line, file, row_address = found
    rows = table.rows_at(row_address)
    wanted = base_name(loc["file"])
    # Only when llvm-symbolizer's answer is one of these rows: it then read
    # this table, not a PDB or another unit.
    if (loc["line"], wanted) in [(l, base_name(f)) for l, f in rows] and base_name(file) == wanted:
        loc["line"] = line
        loc["line_offset"] = va - row_address
