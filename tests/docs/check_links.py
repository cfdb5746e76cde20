#!/usr/bin/env python3
"""Checks the links of README.md and docs/*.md under ROOT (a source tree or an
unpacked release):

- every relative link or image leads to a file inside ROOT;
- every #fragment names a heading of its page, by the anchor GitHub makes
  of it (lower case, punctuation dropped, blanks as '-', '-1', '-2', ...
  after repeats);
- every page of docs/ is linked from README.md.

Links in code blocks and code spans are not links. Headings are read in the
'#' form only, the one these pages use.

    check_links.py ROOT      exit status 0: all links resolve; 1: some do not
"""
import os
import re
import sys
from urllib.parse import unquote

FENCE = re.compile(r"^\s{0,3}(```|~~~)")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
# A code span or a link may go on over a line end, never over an empty line.
CODE_SPAN = re.compile(r"(`+)((?:(?!\n\s*\n)[\s\S])+?)\1")
LINK = re.compile(r"!?\[((?:[^\[\]]|\[[^\]]*\])*)\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")


def prose_lines(text):
    """(line number, line) of the lines outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        opened = FENCE.match(line)
        if fence:
            if opened and opened.group(1) == fence:
                fence = None
            continue
        if opened:
            fence = opened.group(1)
            continue
        yield number, line


def heading_text(raw):
    """The heading as it reads: code spans keep their text, links their label."""
    text = CODE_SPAN.sub(lambda m: m.group(2).strip(), raw)
    text = LINK.sub(lambda m: m.group(1), text)
    return re.sub(r"[*_]{1,3}(\S(?:.*?\S)?)[*_]{1,3}", r"\1", text)


def anchors(text):
    found, seen = set(), {}
    for _, line in prose_lines(text):
        m = HEADING.match(line)
        if not m:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading_text(m.group(2)).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def links(text):
    """(line number, target) of every link and image outside code."""
    prose = dict(prose_lines(text))
    lines = [prose.get(number, "") for number in range(1, len(text.splitlines()) + 1)]
    joined = CODE_SPAN.sub(lambda s: re.sub(r"[^\n]", " ", s.group(0)), "\n".join(lines))
    for m in LINK.finditer(joined):
        yield joined.count("\n", 0, m.start()) + 1, m.group(2)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def check_page(root, page, anchor_cache):
    """The broken links of one page, as messages; and the files it links to."""
    problems, targets = [], set()
    here = os.path.dirname(page)
    for number, target in links(read(page)):
        where = f"{os.path.relpath(page, root)}:{number}: {target}"
        if not target or SCHEME.match(target):
            continue
        path, _, fragment = target.partition("#")
        full = os.path.realpath(os.path.join(here, unquote(path))) if path else page
        if os.path.commonpath([full, root]) != root:
            problems.append(f"{where}: leads out of {root}")
            continue
        if not os.path.exists(full):
            problems.append(f"{where}: no such file")
            continue
        targets.add(full)
        if fragment:
            if not full.endswith(".md"):
                problems.append(f"{where}: a fragment on a file that is no page")
                continue
            if full not in anchor_cache:
                anchor_cache[full] = anchors(read(full))
            if unquote(fragment) not in anchor_cache[full]:
                problems.append(f"{where}: no heading #{fragment}")
    return problems, targets


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = os.path.realpath(argv[1])
    readme = os.path.join(root, "README.md")
    docs = os.path.join(root, "docs")
    pages = sorted(os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))
    problems, cache, linked_from_readme = [], {}, set()
    for page in [readme] + pages:
        found, targets = check_page(root, page, cache)
        problems += found
        if page == readme:
            linked_from_readme = targets
    for page in pages:
        if page not in linked_from_readme:
            problems.append(f"README.md does not link to {os.path.relpath(page, root)}")
    for problem in problems:
        print(problem)
    checked = sum(1 for page in [readme] + pages for _ in links(read(page)))
    print(f"{checked} links in {len(pages) + 1} pages; {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
