"""One self-contained HTML page: the groups table, crashes per day as an
inline SVG chart, and for each group its newest report's call stack and the
spread of systems and processors. Inline CSS, no script, no link to
anything outside the page."""

from html import escape

from .locations import name_and_source
from .render_text import short_time

_STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 2em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 2em; }
table { border-collapse: collapse; margin: .5em 0; }
th, td { border: 1px solid #ccc; padding: .25em .5em; text-align: left; vertical-align: top; }
th { background: #f0f0f0; }
td.n { text-align: right; }
td.t { white-space: nowrap; }
code, td.mono { font-family: ui-monospace, monospace; font-size: 12px; }
.offline { color: #0a5; font-style: italic; }
.muted { color: #888; }
svg text { font: 11px sans-serif; fill: #444; }
"""

_CHART_W, _CHART_H, _PAD = 720, 180, 30


def _e(value):
    return escape("" if value is None else str(value))


def _chart(per_day):
    days = sorted(per_day)
    if not days:
        return '<p class="muted">No report has a crash time.</p>'
    top = max(per_day.values())
    slot = (_CHART_W - 2 * _PAD) / len(days)
    bar = min(40.0, max(1.0, slot * 0.8))
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" id="per-day" width="%d" height="%d" role="img">'
             % (_CHART_W, _CHART_H + _PAD)]
    for i, day in enumerate(days):
        height = (_CHART_H - _PAD) * per_day[day] / top
        x = _PAD + i * slot
        parts.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#4a7fb5"><title>%s: %d</title></rect>'
                     % (x, _CHART_H - height, bar, height, _e(day), per_day[day]))
    parts.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#444"/>' % (_PAD, _CHART_H, _CHART_W - _PAD, _CHART_H))
    parts.append('<text x="%d" y="%d">%s</text>' % (_PAD, _CHART_H + 16, _e(days[0])))
    if len(days) > 1:
        parts.append('<text x="%d" y="%d" text-anchor="end">%s</text>' % (_CHART_W - _PAD, _CHART_H + 16, _e(days[-1])))
    parts.append('<text x="%d" y="%d">%d</text>' % (2, _PAD - 4, top))
    parts.append("</svg>")
    return "".join(parts)


def _groups_table(groups):
    rows = ['<table id="groups"><thead><tr><th>#</th><th>count</th><th>first seen</th><th>last seen</th>'
            '<th>signature</th><th>example</th></tr></thead><tbody>']
    for rank, g in enumerate(groups, 1):
        rows.append('<tr><td class="n">%d</td><td class="n">%d</td><td class="t">%s</td><td class="t">%s</td>'
                    '<td class="mono"><a href="#group-%d">%s</a></td><td class="mono">%s:%d</td></tr>'
                    % (rank, g.count, _e(short_time(g.first_seen)), _e(short_time(g.last_seen)), rank,
                       _e(g.signature), _e(g.newest["file"]), g.newest["line"]))
    rows.append("</tbody></table>")
    return "".join(rows)


def _stack(report):
    rows = ['<table class="stack"><thead><tr><th>#</th><th>address</th><th>module</th><th>function</th>'
            '<th>source</th><th>named</th></tr></thead><tbody>']
    locations = ([("fault", report["fault"])] if report["fault"] else []) + list(enumerate(report["frames"]))
    for number, loc in locations:
        name, source = name_and_source(loc, " +%d", " : %d")
        css = ' class="offline"' if loc["resolved"] == "offline" else ""
        rows.append('<tr%s><td>%s</td><td class="mono">%s</td><td>%s</td><td class="mono">%s</td>'
                    '<td class="mono">%s</td><td>%s</td></tr>'
                    % (css, _e(number), _e(loc["address"]), _e(loc["module"]), _e(name), _e(source),
                       _e(loc["resolved"] or "")))
    rows.append("</tbody></table>")
    return "".join(rows)


def _spread(title, counter):
    rows = ["<table><thead><tr><th>%s</th><th>reports</th></tr></thead><tbody>" % _e(title)]
    for value, count in counter.most_common():
        rows.append('<tr><td>%s</td><td class="n">%d</td></tr>' % (_e(value), count))
    rows.append("</tbody></table>")
    return "".join(rows)


def _systems(g):
    """The group's systems: the name this tool gives, and the log's own text."""
    rows = ['<table class="systems"><thead><tr><th>system</th><th>as the log reads</th><th>reports</th></tr>'
            '</thead><tbody>']
    for (name, text), count in g.systems.most_common():
        rows.append('<tr><td>%s</td><td class="mono">%s</td><td class="n">%d</td></tr>'
                    % (_e(name or "?"), _e(text), count))
    rows.append("</tbody></table>")
    return "".join(rows)


def _group_section(rank, g):
    r = g.newest
    return "".join([
        '<section id="group-%d"><h2>#%d &middot; %d report(s)</h2>' % (rank, rank, g.count),
        '<p><code>%s</code></p>' % _e(g.signature),
        '<p>Newest: <code>%s:%d</code>, crashed %s, %s caused %s in %s.</p>'
        % (_e(r["file"]), r["line"], _e(short_time(r["crash_time"])), _e(r["executable"] or "?"),
           _e(r["exception"] or "an exception without a name"), _e(r["module"] or "<UNKNOWN>")),
        _stack(r),
        _systems(g),
        _spread("processor", g.processors),
        "</section>",
    ])


def render_html(out, grouper, skipped, files_read):
    groups = grouper.ranked()
    out.write('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
              '<title>Crash triage</title><style>%s</style></head><body>' % _STYLE)
    out.write("<h1>Crash triage</h1><p>%d report(s) from %d file(s) in %d group(s); %d stretch(es) skipped.</p>"
              % (grouper.reports, files_read, len(groups), len(skipped)))
    out.write("<h2>Crashes per day</h2>" + _chart(grouper.per_day))
    out.write("<h2>Groups</h2>" + _groups_table(groups))
    for rank, g in enumerate(groups, 1):
        out.write(_group_section(rank, g))
    if skipped:
        out.write('<h2>Skipped</h2><table id="skipped"><thead><tr><th>file</th><th>line</th><th>reason</th></tr>'
                  "</thead><tbody>")
        for s in skipped:
            out.write('<tr><td class="mono">%s</td><td class="n">%d</td><td>%s</td></tr>'
                      % (_e(s["file"]), s["line"], _e(s["reason"])))
        out.write("</tbody></table>")
    out.write("</body></html>\n")
