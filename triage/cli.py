"""ruxtrap-triage [--symbols DIR]... [--json | --html FILE] [--stacks] PATH...

Exit status: 0 when at least one report was read, 1 when none could be,
2 for a usage error.
"""

import argparse
import codecs
import json
import os
import stat
import sys

from .groups import Grouper
from .parse import LogReader, Skipped
from .render_html import render_html
from .render_text import render_stacks, render_table
from .symbols import OfflineNames, find_symbolizer

EXIT_READ, EXIT_NOTHING_READ, EXIT_USAGE = 0, 1, 2


class _UsageError(Exception):
    pass


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="ruxtrap-triage",
        description="Splits Ruxtrap crash logs into reports, names addresses from debug files "
                    "and ranks the distinct crashes.")
    parser.add_argument("paths", nargs="+", metavar="PATH", help="log files or folders (read recursively)")
    parser.add_argument("--symbols", action="append", default=[], metavar="DIR",
                        help="folder of debug files (unstripped modules, NAME.debug files, modules with their PDB); "
                             "may be given more than once")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print one JSON document: reports, groups, skipped")
    output.add_argument("--html", metavar="FILE", help="write a self-contained HTML page")
    parser.add_argument("--stacks", action="store_true", help="after the table, print each group's newest call stack")
    parser.add_argument("--encoding", default="cp1252",
                        help="ANSI code page the logs were written in (default cp1252)")
    parser.add_argument("--symbolizer", metavar="PROGRAM", help="llvm-symbolizer to run (default: found on PATH)")
    args = parser.parse_args(argv)
    _check(args)
    return args


def _check(args):
    if not _is_code_page(args.encoding):
        raise _UsageError("unknown encoding %r: give the ANSI code page the logs were written in, e.g. cp1252"
                          % args.encoding)
    for folder in args.symbols:
        if not os.path.isdir(folder):
            raise _UsageError("--symbols %s: not a folder" % folder)
    if args.symbols:
        args.symbolizer = find_symbolizer(args.symbolizer)
        if args.symbolizer is None:
            raise _UsageError("--symbols needs llvm-symbolizer (Debian: apt-get install llvm), "
                              "on PATH or given with --symbolizer")


# The layout is ASCII: a code page must give these bytes back as they are.
_LAYOUT_PROBE = b"==========\r\n[Started Time]:\t2026-12-07 13:31:53-567\r\n"


def _is_code_page(name):
    """Whether the reader can decode logs with this codec. Python also names
    codecs that are no code page: bytes to bytes (base64, rot13), ones that
    need a byte-order mark (utf-16) or cannot replace a bad byte (idna)."""
    try:
        decoder = codecs.getincrementaldecoder(name)(errors="replace")
        return decoder.decode(_LAYOUT_PROBE, final=True) == _LAYOUT_PROBE.decode("ascii")
    except Exception:  # whatever the codec raises, it cannot read a log
        return False


def _files(paths, on_skip):
    """Every file under the given paths, folders read recursively in name
    order; a path that does not exist becomes a skipped entry."""
    for path in paths:
        if os.path.isdir(path):
            yield from _folder_files(path, on_skip)
        elif os.path.exists(path):
            yield path
        else:
            on_skip(Skipped(path, 0, "no such file or folder"))


def _folder_files(folder, on_skip):
    """The files of a folder tree. A folder that cannot be listed, and a link
    to a folder found inside the tree, become skipped entries rather than
    missing silently. Links to folders are not followed: one pointing up the
    tree would read it again, or read what lies outside it; a link given as a
    PATH is read."""
    def unreadable(error):
        on_skip(Skipped(error.filename or folder, 0, "cannot read folder: %s" % (error.strerror or error)))

    for root, dirs, names in os.walk(folder, onerror=unreadable):
        dirs.sort()
        for name in dirs:
            if os.path.islink(os.path.join(root, name)):
                on_skip(Skipped(os.path.join(root, name), 0, "a link to a folder, not followed (give it as a PATH)"))
        for name in sorted(names):
            path = os.path.join(root, name)
            if _special_file(path):
                on_skip(Skipped(path, 0, "not a regular file"))
            else:
                yield path


def _special_file(path):
    """A pipe, socket or device found in a folder: opening a pipe waits for a
    writer for ever. One named as a PATH is read (a shell's <(zcat log.gz))."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False  # opening it says why it cannot be read


class _JsonOut:
    """Writes the document as the reports come, so none has to be kept: one
    report a line."""

    _COMPACT = (",", ":")
    _MODULE_TABLES = 256

    def __init__(self, out):
        self.out = out
        self.first = True
        self._tables = {}
        out.write('{"reports": [')

    def add(self, report):
        self.out.write("\n" if self.first else ",\n")
        self.first = False
        fields = dict(report)
        modules = fields.pop("modules")
        text = json.dumps(fields, separators=self._COMPACT)
        self.out.write(text[:-1] + ',"modules":' + self._module_table(modules) + "}")

    def _module_table(self, modules):
        """The module table's text. Reports of one program on one machine
        share their table, row objects and all (the reader hands out one row
        object per distinct line): it is encoded once. The cache holds the
        rows, so their ids are not reused while it keys on them."""
        key = tuple(map(id, modules))
        entry = self._tables.get(key)
        if entry is None:
            if len(self._tables) >= self._MODULE_TABLES:
                self._tables.clear()
            entry = self._tables[key] = (json.dumps(modules, separators=self._COMPACT), modules)
        return entry[0]

    def finish(self, grouper, skipped):
        self.out.write('\n],\n"groups": ')
        self.out.write(json.dumps([g.to_record() for g in grouper.ranked()], indent=1))
        self.out.write(',\n"skipped": ')
        self.out.write(json.dumps(skipped, indent=1))
        self.out.write("}\n")


def run(args, out, err):
    grouper = Grouper()
    skipped = []

    def on_skip(entry):
        skipped.append(entry)
        err.write("ruxtrap-triage: skipped %s:%d: %s\n" % (entry["file"], entry["line"], entry["reason"]))

    offline = OfflineNames(args.symbols, args.symbolizer) if args.symbols else None
    json_out = _JsonOut(out) if args.json else None

    def on_report(report):
        if not report["complete"]:
            err.write("ruxtrap-triage: note %s:%d: report cut short at line %d, read as far as it goes\n"
                      % (report["file"], report["line"], report["end_line"]))
        if offline is not None:
            offline.resolve(report)
        report["signature"] = grouper.add(report)
        if json_out is not None:
            json_out.add(report)

    reader = LogReader(on_report, on_skip, args.encoding)
    files_read = 0
    try:
        for path in _files(args.paths, on_skip):
            if reader.read_file(path):
                files_read += 1
    finally:
        if offline is not None:
            offline.close()
    if json_out is not None:
        json_out.finish(grouper, skipped)
    else:
        _write_views(args, out, err, grouper, skipped, files_read)
    return EXIT_READ if grouper.reports else EXIT_NOTHING_READ


def _write_views(args, out, err, grouper, skipped, files_read):
    """The table, the stacks and the HTML page, as the options ask."""
    render_table(out, grouper, files_read, len(skipped))
    if args.stacks:
        render_stacks(out, grouper)
    if args.html:
        with open(args.html, "w", encoding="utf-8") as page:
            render_html(page, grouper, skipped, files_read)
        err.write("ruxtrap-triage: wrote %s\n" % args.html)


def main(argv=None):
    try:
        args = _arguments(argv)
    except _UsageError as error:
        sys.stderr.write("ruxtrap-triage: %s\n" % error)
        return EXIT_USAGE
    out = sys.stdout
    if hasattr(out, "reconfigure"):
        # A path or name the console cannot show must not end the run. The
        # JSON document is ASCII whatever the console.
        out.reconfigure(errors="replace")
    try:
        return run(args, out, sys.stderr)
    except BrokenPipeError:
        # The reader of our output went away (| head): nothing left to say.
        sys.stderr.close()
        return EXIT_READ
    except OSError as error:
        sys.stderr.write("ruxtrap-triage: %s\n" % error)
        return EXIT_USAGE
