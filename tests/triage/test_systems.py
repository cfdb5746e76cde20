"""The system named from the build number: on the lines Wine writes as the
versions it pretends to be, and on recorded lines of builds it cannot give
(Windows 11, the servers of 2012 and later)."""

import json
import re
import shutil
import subprocess
from html import escape

from conftest import REPO, Wine, read_log, run_triage

# Beside a copy of the host, it declares every system up to 10 and 11; a
# host without it is told 6.2, build 9200, on anything newer than 8.
GUIDS = ("e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")
MANIFEST = ('<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><compatibility xmlns='
            '"urn:schemas-microsoft-com:compatibility.v1"><application>%s</application></compatibility></assembly>'
            % "".join('<supportedOS Id="{%s}"/>' % g for g in GUIDS))
# Wine's version for the host, whether the host declares newer systems, and
# a crash kind of the case's own, so that each case is a group of its own.
CASES = [("win10", False, "av"), ("win10", True, "div0"), ("win81", True, "cpp"), ("win7", True, "chain")]
# What the host was told (major, minor, build, product type; measured under
# Wine 8, whose "win7" is a server) and the system that names.
NAMES = {(6, 2, 9200, 1): "Windows 8 or later", (6, 3, 9600, 1): "Windows 8.1 or later",
         (10, 0, 18362, 1): "Windows 10 1903 or Server 1903", (6, 1, 7601, 3): "Windows Server 2008 R2"}
APP_DEFAULTS = "HKCU\\Software\\Wine\\AppDefaults\\crash_host.exe"


def crash_as_each_version(build_dir, folder):
    """The log of the cases' crashes, and what each host was told."""
    for place in ("bare", "declared"):
        (folder / place).mkdir()
        for name in ("crash_host.exe", "Ruxtrap.dll"):
            shutil.copy(build_dir / "bin" / name, folder / place / name)
    (folder / "declared" / "crash_host.exe.manifest").write_text(MANIFEST)
    wine = Wine(build_dir)
    reg = [str(REPO / "scripts" / "wine-run"), str(wine.prefix), "reg"]
    wine.clear()
    told = []
    try:
        for version, declared, kind in CASES:
            subprocess.run(reg + ["add", APP_DEFAULTS, "/v", "Version", "/d", version, "/f"], timeout=300,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            facts = wine.crash(folder / ("declared" if declared else "bare") / "crash_host.exe", kind)
            told.append(tuple(facts.get(k) for k in ("osMajor", "osMinor", "osBuild", "osProduct")))
    finally:
        subprocess.run(reg + ["delete", APP_DEFAULTS, "/f"], timeout=300, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wine.collect(folder / "versions.log")
    wine.clear()
    return folder / "versions.log", told


def test_systems_wine_pretends_to_be_in_the_json_the_table_and_the_page(build_dir, tmp_path):
    log, told = crash_as_each_version(build_dir, tmp_path)
    assert sorted(told) == sorted(NAMES), "Wine told the hosts %s" % told
    reports = json.loads(run_triage("--json", log).stdout)["reports"]
    written = re.findall(rb"\[OS Ver\]: *(.*?) *\r\n", log.read_bytes())
    assert len(reports) == len(written) == len(CASES)
    for report, facts, os_line in zip(reports, told, written):
        system = report["system"]
        assert (system["os_name"], system["os"], system["build"]) == (NAMES[facts], os_line.decode(), facts[2])
        assert list(system).index("os_name") == list(system).index("os") + 1

    table = run_triage(log).stdout.splitlines()
    header = next(line for line in table if line.startswith("count"))
    start, end = header.index("system"), header.index("signature")
    rows = {row[end:]: row[start:end].strip() for row in table[table.index(header) + 1:] if row.strip()}
    assert rows == {r["signature"]: r["system"]["os_name"] for r in reports}

    page = tmp_path / "versions.html"
    assert run_triage("--html", page, log).returncode == 0
    html = page.read_text(encoding="utf-8")
    for s in (r["system"] for r in reports):
        text = ", ".join(filter(None, [s["os"], "build %d" % s["build"], s["service_pack"]]))
        assert '<tr><td>%s</td><td class="mono">%s</td>' % (escape(s["os_name"]), escape(text)) in html


# The lines as the library writes them on systems Wine cannot pretend to be
# (build None: no build line), and the system each names.
RECORDED = [("Microsoft Windows ", 22631, "Windows 11 23H2"),
            ("Microsoft Windows ", 26100, "Windows 11 24H2 or Server 2025"),
            ("Microsoft Windows ", 29000, "Windows 11"),  # a build this tool does not know
            ("Microsoft Windows ", 20348, "Windows Server 2022"),
            ("Microsoft Windows 2008", 9600, "Windows Server 2012 R2 or later"),
            ("Microsoft Windows Win7", None, "Windows 7 or later"),
            ("Unknow vesion", 0, None)]


def test_recorded_lines_of_builds_wine_cannot_give(crash_logs, tmp_path):
    report = crash_logs.kinds.read_bytes().split(b"\r\n\r\n\r\n")[0] + b"\r\n\r\n\r\n"
    log = tmp_path / "recorded.log"
    with open(log, "wb") as out:
        for os_line, build, _ in RECORDED:
            lines = "[OS Ver]:       %s\r\n%s[Service pack]: \r\n" % (
                os_line, "" if build is None else "[Build]:        %d\r\n" % build)
            out.write(re.sub(rb"\[OS Ver\]:.*?\r\n\[Service pack\]:[^\r]*\r\n", lines.encode(), report, flags=re.S))
    reports, skipped = read_log(log)
    assert skipped == [] and len(reports) == len(RECORDED)
    for (os_line, build, name), read in zip(RECORDED, reports):
        assert (read["system"]["os"], read["system"].get("build")) == (os_line.strip(), build)
        assert read["system"]["os_name"] == name, (os_line, build)
