"""Crash signatures and the groups they make.

A signature is the exception's name, the faulting module and the top three
frames of the call stack, each by its function name, or as module+offset
where it has none: offsets within a module stay the same from run to run
while load addresses may move, so a group is not split by them. A report
without a call stack stands by the summary line's own location.

A group keeps counts, its first and last crash time and one report, its
newest, so memory grows with the number of distinct crashes, not of reports.
"""

from collections import Counter

TOP_FRAMES = 3


def frame_key(loc):
    if loc["function"]:
        return loc["function"]
    if loc["module"] and loc["module_offset"]:
        return "%s+%s" % (loc["module"], loc["module_offset"])
    if loc["module"]:
        return "%s@%s" % (loc["module"], loc["address"])
    return loc["address"]


def top_locations(report):
    frames = report["frames"][:TOP_FRAMES]
    if not frames and report["fault"] is not None:
        frames = [report["fault"]]
    return frames


def signature_parts(report):
    return (report["exception"] or "(no exception name)",
            report["module"] or "<UNKNOWN>",
            [frame_key(loc) for loc in top_locations(report)])


def signature_text(exception, module, keys):
    return "%s | %s | %s" % (exception, module, " < ".join(keys) if keys else "(no frames)")


def os_text(report):
    s = report["system"]
    parts = [s.get("os") or "unknown OS"]
    if s.get("build") is not None:
        parts.append("build %d" % s["build"])
    if s.get("service_pack"):
        parts.append(s["service_pack"])
    return ", ".join(parts)


class Group:
    __slots__ = ("signature", "exception", "module", "top", "count", "first_seen", "last_seen",
                 "newest", "os_versions", "systems", "processors", "executables")

    def __init__(self, signature, exception, module, top):
        self.signature = signature
        self.exception = exception
        self.module = module
        self.top = top
        self.count = 0
        self.first_seen = None
        self.last_seen = None
        self.newest = None
        self.os_versions = Counter()
        self.systems = Counter()  # (the system's name, the log's own text)
        self.processors = Counter()
        self.executables = Counter()

    def add(self, report):
        self.count += 1
        when = report["crash_time"] or report["start_time"]
        if when is not None:
            if self.first_seen is None or when < self.first_seen:
                self.first_seen = when
            if self.last_seen is None or when >= self.last_seen:
                self.last_seen = when
        newest_when = self.newest and (self.newest["crash_time"] or self.newest["start_time"])
        if self.newest is None or (when or "") >= (newest_when or ""):
            self.newest = report
        text = os_text(report)
        self.os_versions[text] += 1
        self.systems[(report["system"].get("os_name"), text)] += 1
        self.processors[report["system"].get("processor") or "unknown processor"] += 1
        self.executables[report["executable"] or "unknown"] += 1

    def system_names(self):
        """Counter of the systems' names, None for reports whose system has none."""
        names = Counter()
        for (name, _), count in self.systems.items():
            names[name] += count
        return names

    def to_record(self):
        return {
            "signature": self.signature,
            "exception": self.exception,
            "module": self.module,
            "top_frames": self.top,
            "count": self.count,
            "first_seen": self.first_seen,
            "last_seen": self.last_seen,
            "file": self.newest["file"],
            "line": self.newest["line"],
            "os_versions": dict(self.os_versions.most_common()),
            "processors": dict(self.processors.most_common()),
            "executables": dict(self.executables.most_common()),
        }


class Grouper:
    def __init__(self):
        self.groups = {}
        self.per_day = Counter()
        self.reports = 0

    def add(self, report):
        """Files the report under its signature and returns the signature."""
        exception, module, keys = signature_parts(report)
        signature = signature_text(exception, module, keys)
        group = self.groups.get(signature)
        if group is None:
            group = self.groups[signature] = Group(signature, exception, module, keys)
        group.add(report)
        self.reports += 1
        when = report["crash_time"] or report["start_time"]
        if when:
            self.per_day[when[:10]] += 1
        return signature

    def ranked(self):
        """Most reports first; among equals, the most recently seen."""
        by_recent = sorted(self.groups.values(), key=lambda g: g.last_seen or "", reverse=True)
        return sorted(by_recent, key=lambda g: g.count, reverse=True)
