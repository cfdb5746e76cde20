"""The ranked table of groups for the terminal, and with --stacks each group's
newest call stack. Names found offline carry a "*"."""

from .groups import frame_key, top_locations
from .locations import name_and_source


def short_time(when):
    return when.replace("T", " ")[:19] if when else "-"


def where(file, line):
    return "%s:%d" % (file, line)


def _marked_signature(group):
    keys = []
    for loc in top_locations(group.newest):
        keys.append(frame_key(loc) + ("*" if loc["resolved"] == "offline" else ""))
    return "%s | %s | %s" % (group.exception, group.module, " < ".join(keys) if keys else "(no frames)")


def system_cell(group):
    """The system most of the group's reports came from, "+N" for the other
    systems among them."""
    names = group.system_names().most_common()
    first = names[0][0] or "?"
    return first if len(names) == 1 else "%s +%d" % (first, len(names) - 1)


def render_table(out, grouper, files_read, skipped_count):
    groups = grouper.ranked()
    out.write("%d report(s) in %d file(s), %d group(s), %d skipped\n\n"
              % (grouper.reports, files_read, len(groups), skipped_count))
    if not groups:
        return
    examples = [where(g.newest["file"], g.newest["line"]) for g in groups]
    systems = [system_cell(g) for g in groups]
    width = max(len("example"), max(len(e) for e in examples))
    system_width = max(len("system"), max(len(s) for s in systems))
    out.write("%5s  %-19s  %-19s  %-*s  %-*s  %s\n" % ("count", "first seen", "last seen", width, "example",
                                                     system_width, "system", "signature"))
    offline = False
    for group, example, system in zip(groups, examples, systems):
        signature = _marked_signature(group)
        offline = offline or "*" in signature
        out.write("%5d  %-19s  %-19s  %-*s  %-*s  %s\n" % (group.count, short_time(group.first_seen),
                                                         short_time(group.last_seen), width, example,
                                                         system_width, system, signature))
    if offline:
        out.write("\n* named offline from the --symbols debug files\n")


def frame_text(loc):
    name, source = name_and_source(loc, "+%d", ":%d")
    name = name or "?"
    mark = "  [offline]" if loc["resolved"] == "offline" else ""
    return "%s  %-16s %s  %s%s" % (loc["address"], loc["module"] or "?", name, source, mark)


def render_stacks(out, grouper):
    for rank, group in enumerate(grouper.ranked(), 1):
        report = group.newest
        out.write("\n#%d  %d x  %s\n" % (rank, group.count, group.signature))
        out.write("    newest: %s  %s  %s\n" % (where(report["file"], report["line"]),
                                                short_time(report["crash_time"]), report["executable"] or "?"))
        if report["fault"]:
            out.write("    fault:  %s\n" % frame_text(report["fault"]))
        for number, loc in enumerate(report["frames"]):
            out.write("    %3d  %s\n" % (number, frame_text(loc)))
