"""Splits a crash log into its reports and turns every line of a report into
data.

A report, as Ruxtrap.dll appends it:

    ====...==== (90)            [Started Time]:, [Crash Time]:
    System Infomation           [CPU Nums]:, [Processor]:, memory, OS, display, DirectX
    Letter / Total / Free       one row per drive
    All Modules                 one "0x%08X<tab>path" row per module
    ====...==== (90)
    the exception summary line (a system message may bring line ends of its own)
    the register block, three lines
    Call Stack                  one line per frame
    three empty lines

The reader is lenient the same way throughout: a report starts at its
"[Started Time]:" line wherever that stands, so one cut short by a killed
process does not swallow the next; lines it does not know inside a report are
passed over (later versions may add some); text outside any report, and a
report cut short before or in its exception line, become skipped entries with
file, line and reason.
"""

import re

from .lines import CutLine, read_line_batches
from .locations import parse_frame, parse_summary
from .systems import name_system

SEP90 = "=" * 90
SEP40 = "=" * 40

_TIME = re.compile(r"(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)-(\d{3})")
_MEMORY = re.compile(r"(-?\d+)M, Avail\[(-?\d+)M\]")
_DISPLAY = re.compile(r"(-?\d+) x (-?\d+), (-?\d+) bit")
_DRIVE = re.compile(r"([A-Za-z]:\\?):\t+(-?\d+)M\t+(-?\d+)M\Z")
# A value ends at a blank or at the line's end ("EBX=00D5xyz" holds none).
_REGISTER = re.compile(r"([A-Z]{2,3})=([0-9A-F]+)(?=[ \t]|\Z)")

# Sections, in the order a report goes through them. A heading this reader
# does not know opens a section whose lines it passes over: EXTRA before the
# summary line, LATE_EXTRA after the registers.
HEAD, SYSTEM, DRIVES, MODULES, EXTRA, SUMMARY, REGISTERS, LATE_EXTRA, STACK = range(9)

_HEADINGS = {
    "System Infomation": SYSTEM,
    "System Information": SYSTEM,
    "All Modules": MODULES,
    "Call Stack": STACK,
}


def _time(text):
    m = _TIME.search(text)
    if m is None:
        return None
    y, mo, d, h, mi, s, ms = m.groups()
    return "%s-%s-%sT%s:%s:%s.%s" % (y, mo, d, h, mi, s, ms)


def _int(text):
    try:
        return int(text.strip())
    except ValueError:
        return None


class Skipped(dict):
    """A stretch of a file that was not read as a report: file, line, reason."""

    def __init__(self, file, line, reason):
        super().__init__(file=file, line=line, reason=reason)


class _Report:
    """A report as it is being read."""

    def __init__(self, file, line):
        self.file = file
        self.line = line
        self.last_line = line  # set when the report ends
        self.section = HEAD
        self.start_time = None
        self.crash_time = None
        self.system = {}
        self.other = {}
        self.drives = []
        self.module_lines = []  # rows of the module table, turned into data at the end
        self.summary_lines = []
        self.summary_cut = False  # the writer stopped inside the summary line
        self.registers = {}
        self.frame_lines = []
        self.blank_after_stack = False

    def reached_summary(self):
        # The separator that closes the module table is not enough: a report
        # cut inside that table is followed by the next report's own one.
        return bool(self.summary_lines) or self.summary_cut or self.section >= REGISTERS

    def _modules(self):
        """The module table's rows, and load addresses by lower-case base name."""
        modules = []
        names = {}
        for text in self.module_lines:
            row = _module_rows.get(text)
            if row is None:
                row = _module_row(text)
                if row is None:
                    continue
            modules.append(row[0])
            names.setdefault(row[1], row[2])
        return modules, names

    def _summary(self):
        """(executable, exception, location) of the summary line, Nones when
        there is none or it was cut."""
        summary = "\n".join(self.summary_lines).strip("\n")
        parsed = parse_summary(summary) if summary and not self.summary_cut else None
        return parsed or (None, None, None)

    def _frames(self, names):
        frames = []
        for text in self.frame_lines:
            frame = _frames.get(text)
            if frame is None:
                frame = parse_frame(text, names)
                if frame is None:
                    continue
                _remember(_frames, text, frame)
            frames.append(dict(frame))  # the remembered one stays as parsed
        return frames

    def to_record(self):
        modules, names = self._modules()
        executable, exception, fault = self._summary()
        frames = self._frames(names)
        for loc in frames if fault is None else [fault] + frames:
            _set_module_offset(loc, names)
        if self.other:
            self.system["other"] = self.other
        if "os" in self.system:
            self.system = _with_os_name(self.system)
        return {
            "file": self.file,
            "line": self.line,
            "end_line": self.last_line,
            "complete": self.blank_after_stack,
            "start_time": self.start_time,
            "crash_time": self.crash_time,
            "system": self.system,
            "drives": self.drives,
            "modules": modules,
            "executable": executable,
            "exception": exception,
            "module": fault["module"] if fault else None,
            "fault": fault,
            "registers": self.registers or None,
            "frames": frames,
        }


# Module rows and frame lines come back the same in report after report (one
# program, one crash): each is parsed once and remembered, up to a bound.
_CACHE_BOUND = 20000
_module_rows = {}
_frames = {}


def _remember(cache, key, value):
    if len(cache) >= _CACHE_BOUND:
        cache.clear()
    cache[key] = value


def _module_row(text):
    """(row, lower-case base name, load address) of a "0x%08X<tab>path" row;
    the row is shared by every report that has the line, and never changed."""
    if text[10:11] != "\t" or text[1:2] != "x":
        return None
    try:
        base = int(text[:10], 16)
    except ValueError:
        return None
    path = text[11:]
    row = ({"base": text[:10], "path": path}, _base_name(path), base)
    _remember(_module_rows, text, row)
    return row


def _with_os_name(system):
    """The system's keys with os_name beside os."""
    named = {}
    for key, value in system.items():
        named[key] = value
        if key == "os":
            named["os_name"] = name_system(value, system.get("build"))
    return named


def _base_name(path):
    return path.replace("/", "\\").rsplit("\\", 1)[-1].lower()


def _set_module_offset(loc, bases):
    if loc["module"] is None:
        return
    base = bases.get(loc["module"].lower())
    if base is not None:
        offset = int(loc["address"], 16) - base
        if offset >= 0:
            loc["module_offset"] = "0x%X" % offset


def _register_line(report, line):
    for m in _REGISTER.finditer(line):
        if isinstance(line, CutLine) and m.end() == len(line):
            break  # the writer stopped in or right after this value: its digits may be fewer
        report.registers[m.group(1)] = "0x" + m.group(2)


def _system_line(report, line):
    end = line.find("]:")
    if end < 0:
        return
    label, value = line[1:end], line[end + 2:].strip(" \t")
    s = report.system
    if label == "CPU Nums":
        s["cpu_count"] = _int(value)
    elif label == "Processor":
        s["processor"] = value
    elif label in ("Phys Memory", "Virt Memory"):
        m = _MEMORY.match(value)
        key = "phys" if label[0] == "P" else "virt"
        s[key + "_memory_mb"] = int(m.group(1)) if m else None
        s[key + "_avail_mb"] = int(m.group(2)) if m else None
    elif label == "OS Ver":
        s["os"] = value
    elif label == "Build":
        s["build"] = _int(value)
    elif label == "Service pack":
        s["service_pack"] = value
    elif label == "Display mode":
        m = _DISPLAY.match(value)
        if m:
            s["display"] = {"width": int(m.group(1)), "height": int(m.group(2)), "bits_per_pixel": int(m.group(3))}
    elif label == "DirectX Ver":
        s["directx"] = value
    else:
        report.other[label] = value


class _ReadFailed(Exception):
    def __init__(self, error):
        super().__init__(error)
        self.error = error


class _FileReads:
    """A log file's reads, whose failures are told apart from the callbacks'."""

    def __init__(self, stream):
        self._stream = stream

    def read(self, size):
        try:
            return self._stream.read(size)
        except OSError as error:
            raise _ReadFailed(error) from error


class LogReader:
    """Reads one log file; calls on_report(record) and on_skip(Skipped) as it goes,
    so only the report being read is ever held."""

    def __init__(self, on_report, on_skip, encoding="cp1252"):
        self.on_report = on_report
        self.on_skip = on_skip
        self.encoding = encoding

    def read_file(self, path, display_name=None):
        """Returns the number of reports read from the file. Only errors of
        the file's own reads make it a skipped entry: one of the callbacks
        (the output's reader gone, a full disk) is the caller's."""
        name = display_name or path
        try:
            stream = open(path, "rb")
        except OSError as error:
            return self._unreadable(name, error)
        with stream:
            try:
                return self.read_stream(_FileReads(stream), name)
            except _ReadFailed as failed:
                return self._unreadable(name, failed.error)

    def _unreadable(self, name, error):
        self.on_skip(Skipped(name, 0, "cannot read: %s" % (error.strerror or error)))
        return 0

    def read_stream(self, stream, name):
        self._name = name
        self._report = None
        self._junk_start = None  # first and last line of a run of text outside any report
        self._junk_last = None
        self._count = 0
        self._seen_line = False
        number = 0
        previous = ""
        for batch in read_line_batches(stream, self.encoding):
            for line in batch:
                number += 1
                whole = line
                if line[-1:] == "=" and len(line) > len(SEP90) and line.endswith(SEP90):
                    # The writer stopped in this line and the next report's
                    # separator followed: what stands before it is cut.
                    line = CutLine(line[:-len(SEP90)])
                # Module rows and frame lines, most of a report, take the
                # short way; they are parsed when the report is complete.
                # A row, frame or machine line the writer stopped in is not
                # read at all: its value may look whole and be wrong.
                report = self._report
                if report is not None and line:
                    section = report.section
                    if isinstance(line, CutLine) and section in (MODULES, STACK, SYSTEM):
                        previous = whole
                        continue
                    if section == MODULES and line[0] == "0":
                        report.module_lines.append(line)
                        previous = line
                        continue
                    if section == STACK and line[0] != "[" and not report.blank_after_stack:
                        report.frame_lines.append(line)
                        previous = line
                        continue
                    if section == SYSTEM and line[0] == "[" and not line.startswith("[Started Time]:"):
                        _system_line(report, line)
                        previous = line
                        continue
                self._line(line, number, previous)
                previous = whole
        self._close_report(number, at_end=True)
        self._close_junk(at_end=True)
        if not self._seen_line:
            self.on_skip(Skipped(name, 0, "empty file" if number == 0 else "holds no text"))
        return self._count

    # One line, in the section the report is in.
    def _line(self, line, number, previous):
        if line:
            self._seen_line = True
        if line.startswith("[Started Time]:"):
            start = number - 1 if previous.endswith(SEP90) else number
            self._close_report(start - 1)
            self._close_junk()
            self._report = _Report(self._name, start)
            self._report.start_time = _time(line)
            return
        report = self._report
        if report is None:
            self._outside(line, number)
            return
        section = report.section
        if section == STACK:
            if line:
                if report.blank_after_stack:
                    # Text after the report's closing empty lines: not part of it.
                    self._close_report(number - 1)
                    self._outside(line, number)
                else:
                    report.frame_lines.append(line)
            else:
                report.blank_after_stack = True
            return
        self._section_line(report, line)

    def _section_line(self, report, line):
        if line.startswith("\t\t\t"):
            heading = _HEADINGS.get(line.strip())
            if heading is None:
                heading = EXTRA if report.section < SUMMARY else LATE_EXTRA
            report.section = heading
            return
        if line == SEP40:
            if report.section == SUMMARY:
                report.section = REGISTERS
            return
        if line == SEP90:
            if report.section < SUMMARY:
                report.section = SUMMARY
            return
        if line.startswith("EAX=") and report.section <= REGISTERS:
            report.section = REGISTERS
        section = report.section
        if section == REGISTERS:
            _register_line(report, line)
        elif section == SUMMARY:
            if not isinstance(line, CutLine):
                report.summary_lines.append(line)
            elif not "EAX=".startswith(line):
                # Any piece of the summary may look whole ("line 006" of
                # "line 0061"): none of it is read.
                report.summary_cut = True
        elif section == HEAD:
            if line.startswith("[Crash Time]:"):
                report.crash_time = _time(line)
            elif line.startswith("Letter\t"):
                report.section = DRIVES
        elif section == SYSTEM:
            if line.startswith("["):
                _system_line(report, line)
            elif line.startswith("Letter\t"):
                report.section = DRIVES
        elif section == DRIVES:
            m = _DRIVE.match(line)
            if m is not None:
                report.drives.append({"root": m.group(1), "total_mb": int(m.group(2)), "free_mb": int(m.group(3))})
        # Anything else is a line this reader does not know: passed over.

    def _outside(self, line, number):
        if line and line != SEP90:
            if self._junk_start is None:
                self._junk_start = number
            self._junk_last = number

    def _close_junk(self, at_end=False):
        if self._junk_start is None:
            return
        first, last = self._junk_start, self._junk_last
        self._junk_start = None
        if at_end and first == 1:
            reason = "no crash report starts here: not a Ruxtrap crash log (lines 1-%d)" % last
        else:
            reason = "text outside any report (lines %d-%d)" % (first, last)
        self.on_skip(Skipped(self._name, first, reason))

    def _close_report(self, last, at_end=False):
        report = self._report
        self._report = None
        if report is None:
            return
        report.last_line = last
        where = "the end of the file" if at_end else "line %d, where the next report starts" % (last + 1)
        if not report.reached_summary():
            self._skip_report(report, "report cut short before its exception line (ends at %s)" % where)
            return
        record = report.to_record()
        if record["fault"] is None and not record["frames"] and not record["registers"]:
            self._skip_report(report, "report cut short in its exception line (ends at %s)" % where)
            return
        self._count += 1
        self.on_report(record)

    def _skip_report(self, report, reason):
        self.on_skip(Skipped(report.file, report.line, reason))
