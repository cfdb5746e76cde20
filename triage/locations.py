"""The pieces of a crash report's address lines: the exception summary line
and the call-stack frame lines, each of which ends with the same optional
symbol and source-line suffixes.

    crash_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module crash_host.exe at 0023:00401749, ChainInner()+0029 byte(s), Z:\\src\\crash_host.cpp, line 0061+0003 byte(s)
    0023:00401749 (0x00000000 0x7B0B8D14 0x0064FCF8 0x0040160F) crash_host.exe, ChainInner()+0029 byte(s), Z:\\src\\crash_host.cpp, line 0061+0003 byte(s)

Every piece after the address may be missing; a symbol or file name too long
for the line stands bare after its comma and ends the line.
"""

import re

_FRAME = re.compile(
    r"(?P<seg>[0-9A-F]{4,8}):(?P<addr>[0-9A-F]{8})"
    r"(?: \(0x(?P<p0>[0-9A-F]{8}) 0x(?P<p1>[0-9A-F]{8}) 0x(?P<p2>[0-9A-F]{8}) 0x(?P<p3>[0-9A-F]{8})\))?"
    r"(?P<rest>.*)\Z",
    re.S,
)
# A symbol with a displacement, " Name()+0012 byte(s)", or without, " Name ";
# then maybe the source line, " file, line 0058" with "+0003 byte(s)".
_SUFFIXES = re.compile(
    r", (?P<fn>.+?)(?:\(\)\+(?P<off>\d+) byte\(s\)| )"
    r"(?:, (?P<file>.+), line (?P<line>\d+)(?:\+(?P<loff>\d+) byte\(s\))?|,(?P<barefile>[^ ].*))?\Z",
    re.S,
)
_SUMMARY = re.compile(
    r"(?P<exe>.*?) caused an (?P<exc>.*) in module (?P<module>.*?) at "
    r"(?P<seg>[0-9A-F]{4,8}):(?P<addr>[0-9A-F]{8})(?P<rest>,.*)?\Z",
    re.S,
)


def new_location(address, segment):
    return {
        "address": address,
        "segment": segment,
        "params": None,
        "module": None,
        "module_offset": None,
        "function": None,
        "function_offset": None,
        "file": None,
        "line": None,
        "line_offset": None,
        "resolved": None,
    }


def name_and_source(location, offset_format, line_format):
    """The location's function (with its offset) and source (with its line),
    each "" when unknown, for a table: the formats place the numbers."""
    name = location["function"] or ""
    if location["function"] and location["function_offset"]:
        name += offset_format % location["function_offset"]
    source = ""
    if location["file"]:
        source = location["file"] + (line_format % location["line"] if location["line"] else "")
    return name, source


def _apply_suffixes(location, rest):
    """Fills function and source line from ", Name()+0012 byte(s), file, line 0058".
    False when the text is none of the shapes: a line cut short."""
    if not rest:
        return True
    m = _SUFFIXES.match(rest)
    if m is None:
        # A name too long for the line stands bare after the comma, with
        # nothing after it.
        if rest.startswith(", ") or not rest[1:].strip():
            return False
        location["function"] = rest[1:]
        location["resolved"] = "report"
        return True
    location["function"] = m.group("fn")
    location["resolved"] = "report"
    off = m.group("off")
    location["function_offset"] = int(off) if off is not None else 0
    if m.group("file") is not None:
        location["file"] = m.group("file")
        location["line"] = int(m.group("line"))
        loff = m.group("loff")
        location["line_offset"] = int(loff) if loff is not None else 0
    elif m.group("barefile") is not None:
        location["file"] = m.group("barefile")
    return True


def parse_frame(line, module_names):
    """A frame line as a location, or None when the line is not one.
    module_names: the base names of the report's module table, lower case,
    used only when a module's own name holds a comma."""
    m = _FRAME.match(line)
    if m is None:
        return None
    loc = new_location("0x" + m.group("addr"), m.group("seg"))
    if m.group("p0") is not None:
        loc["params"] = ["0x" + m.group(k) for k in ("p0", "p1", "p2", "p3")]
    rest = m.group("rest")
    if loc["params"] is None and rest.startswith(" ("):
        return None  # a line cut inside its values
    if rest.startswith(" "):
        module, rest = _split_module(rest[1:], module_names)
        loc["module"] = module or None
    elif rest and not rest.startswith(","):
        return None
    return loc if _apply_suffixes(loc, rest) else None


def _split_module(text, module_names):
    comma = text.find(",")
    if comma < 0:
        return text, ""
    if module_names and text[:comma].lower() not in module_names:
        for name in module_names:
            if text.lower().startswith(name) and text[len(name):len(name) + 1] in (",", ""):
                return text[: len(name)], text[len(name):]
    return text[:comma], text[comma:]


def parse_summary(text):
    """(executable, exception, location) from the summary line, which a system
    message may have spread over several lines; None when it is not one."""
    m = _SUMMARY.match(text)
    if m is None:
        return None
    loc = new_location("0x" + m.group("addr"), m.group("seg"))
    module = m.group("module")
    loc["module"] = None if module in ("", "<UNKNOWN>") else module
    _apply_suffixes(loc, m.group("rest"))
    exception = " ".join(m.group("exc").split())
    return m.group("exe") or None, exception or None, loc
