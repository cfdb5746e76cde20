"""The JSON document other tools script against, and the HTML page as a
browser sees it."""

import json
import re
import shutil
import subprocess
import tempfile

import pytest

from conftest import KINDS, run_triage

REPORT_KEYS = {"file", "line", "end_line", "complete", "start_time", "crash_time", "system", "drives", "modules",
               "executable", "exception", "module", "fault", "registers", "frames", "signature"}
LOCATION_KEYS = {"address", "segment", "params", "module", "module_offset", "function", "function_offset", "file",
                 "line", "line_offset", "resolved"}
GROUP_KEYS = {"signature", "exception", "module", "top_frames", "count", "first_seen", "last_seen", "file", "line",
              "os_versions", "processors", "executables"}
SYSTEM_KEYS = {"cpu_count", "processor", "phys_memory_mb", "phys_avail_mb", "virt_memory_mb", "virt_avail_mb", "os",
               "os_name", "build", "service_pack", "display", "directx"}
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\Z")
HEX = re.compile(r"0x[0-9A-F]+\Z")


def test_json_document_has_every_documented_field(crash_logs, tmp_path):
    junk = tmp_path / "junk.txt"
    junk.write_text("not a log\n")
    result = run_triage("--json", crash_logs.kinds, junk)
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert set(document) == {"reports", "groups", "skipped"}
    assert len(document["reports"]) == len(KINDS)
    signatures = {g["signature"] for g in document["groups"]}
    for report in document["reports"]:
        assert set(report) == REPORT_KEYS
        assert set(report["system"]) == SYSTEM_KEYS
        assert TIME.match(report["start_time"]) and TIME.match(report["crash_time"])
        assert report["signature"] in signatures
        assert all(set(m) == {"base", "path"} and HEX.match(m["base"]) for m in report["modules"])
        assert all(set(d) == {"root", "total_mb", "free_mb"} for d in report["drives"])
        for loc in [report["fault"]] + report["frames"]:
            assert set(loc) == LOCATION_KEYS
            assert HEX.match(loc["address"]) and loc["resolved"] in ("report", None)
            assert (loc["function"] is None) == (loc["resolved"] is None)
        assert all(len(f["params"]) == 4 for f in report["frames"])
        assert report["fault"]["params"] is None
    for group in document["groups"]:
        assert set(group) == GROUP_KEYS
        assert sum(group["os_versions"].values()) == sum(group["processors"].values()) == group["count"]
    assert [g["count"] for g in document["groups"]] == sorted((g["count"] for g in document["groups"]), reverse=True)
    assert document["skipped"] == [{"file": str(junk), "line": 1,
                                    "reason": "no crash report starts here: not a Ruxtrap crash log (lines 1-1)"}]


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    return None


def test_html_page_renders_its_groups_table(crash_logs, tmp_path):
    browser = chromium()
    if browser is None:
        pytest.skip("chromium is not installed (scripts/setup.sh installs it)")
    page = tmp_path / "triage.html"
    symbols = ["--symbols", crash_logs.symbols] if shutil.which("llvm-symbolizer") else []
    logs = [crash_logs.kinds, crash_logs.stripped]
    result = run_triage(*symbols, "--html", page, *logs)
    assert result.returncode == 0, result.stderr
    html = page.read_text(encoding="utf-8")
    # Self-contained: nothing to fetch.
    assert not re.search(r"<(script|link|img|iframe)\b", html)
    assert not re.search(r"""(src|href)=["']?(https?:|//|file:)""", html)
    groups = json.loads(run_triage(*symbols, "--json", *logs).stdout)["groups"]
    with tempfile.TemporaryDirectory() as profile:
        dom = subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + profile, "--dump-dom", page.as_uri()],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True, timeout=180).stdout
    table = re.search(r'<table id="groups">(.*?)</table>', dom, re.S)
    assert table, "no groups table in the rendered page"
    rows = re.findall(r"<tr>(.*?)</tr>", table.group(1), re.S)[1:]
    assert len(rows) == len(groups)
    for row, group in zip(rows, groups):
        cells = re.findall(r"<td[^>]*>(.*?)</td>", row, re.S)
        assert cells[1] == str(group["count"])
        assert group["signature"].replace("<", "&lt;").replace(">", "&gt;") in cells[4]
    assert '<svg xmlns="http://www.w3.org/2000/svg" id="per-day"' in dom
    assert len(re.findall(r'<section id="group-\d+">', dom)) == len(groups)
    if symbols:
        assert 'class="offline"' in dom
