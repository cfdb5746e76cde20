"""Lines of a log file, read in chunks so that memory stays bounded whatever
the file holds: a log of any size, or a binary file without a line end.

The log is written in the ANSI code page of the crashing machine with CRLF
line ends. A byte-order mark names another encoding (a log re-saved by an
editor). So does text outside ASCII that is all valid UTF-8: editors re-save
as UTF-8 without a mark too (Notepad does by default), and ANSI text is
hardly ever valid UTF-8. Otherwise the caller's code page applies. Bytes the
code page does not define become U+FFFD instead of stopping the read.
"""

import codecs

CHUNK_BYTES = 1 << 20
# Longer lines are cut: no line of a report comes near it (the longest is a
# describe line of 2048 characters), so such a line is never part of one.
MAX_LINE_CHARS = 1 << 16

_BOMS = ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be"))


class CutLine(str):
    """The file's last line when no line end follows it: the writer stopped in
    the middle of it (a process killed while it wrote its report). Its text
    may end anywhere, even where a whole line could end ("line 0" of
    "line 0047")."""


def sniff_encoding(head, default):
    """(encoding, bytes of mark to skip) for a file that starts with head.
    Limit: only the head is looked at; a file whose first text outside ASCII
    comes later is read in the default code page."""
    for mark, name in _BOMS:
        if head.startswith(mark):
            return name, len(mark)
    if not head.isascii() and _is_utf8(head):
        return "utf-8", 0
    return default, 0


def _is_utf8(head):
    try:
        # Not final: the head may end inside a character.
        codecs.getincrementaldecoder("utf-8")().decode(head, final=False)
        return True
    except UnicodeDecodeError:
        return False


def _cut(line):
    return line if len(line) <= MAX_LINE_CHARS else line[:MAX_LINE_CHARS]


def read_line_batches(stream, default_encoding):
    """Yields lists of lines without their line ends and carriage returns."""
    head = stream.read(CHUNK_BYTES)
    encoding, skip = sniff_encoding(head, default_encoding)
    decoder = codecs.getincrementaldecoder(encoding)(errors="replace")
    carry = ""
    chunk = head[skip:]
    while True:
        final = not chunk
        # Every CR goes: line ends are CRLF, or CR CR LF after a message that
        # brought its own CRLF into the text-mode log.
        text = decoder.decode(chunk, final=final).replace("\r", "")
        if "\n" not in text:
            carry = _cut(carry + text)
        else:
            first, rest = text.split("\n", 1)
            batch = [_cut(carry + first)]
            batch.extend(rest.split("\n"))
            carry = _cut(batch.pop())
            yield batch
        if final:
            break
        chunk = stream.read(CHUNK_BYTES)
    if carry:
        yield [CutLine(carry)]
