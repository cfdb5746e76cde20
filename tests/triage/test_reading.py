"""Reading real logs: every field of the layout becomes data."""

import json
import os
import re

from conftest import EXPECTED, KINDS, read_log, run_triage

FRAME_LINE = re.compile(rb"^[0-9A-F]{4}:[0-9A-F]{8}", re.M)


def raw_stack_lines(raw_report):
    """Frame lines of one report's raw bytes, counted apart from the reader."""
    stack = raw_report.split(b"\t\t\tCall Stack\r\n", 1)[1]
    return len(FRAME_LINE.findall(stack))


def raw_reports(path):
    return path.read_bytes().split(b"\r\n\r\n\r\n")[:-1]


def test_several_crash_kinds_appended_in_one_log(crash_logs):
    reports, skipped = read_log(crash_logs.kinds)
    assert skipped == []
    assert len(reports) == len(KINDS)
    raw = raw_reports(crash_logs.kinds)
    assert len(raw) == len(KINDS)
    for kind, report, text in zip(KINDS, reports, raw):
        exception, module, functions = EXPECTED[kind]
        assert (report["exception"], report["module"]) == (exception, module), kind
        assert [f["function"] for f in report["frames"][:len(functions)]] == functions, kind
        assert report["executable"] == "crash_host.exe"
        assert report["complete"], kind
        assert len(report["frames"]) == raw_stack_lines(text), kind
        # The summary names the faulting instruction: the first frame and EIP.
        assert report["fault"]["address"] == report["frames"][0]["address"] == report["registers"]["EIP"]
        assert report["fault"]["function"] == functions[0]
        assert set(report["registers"]) == {"EAX", "EBX", "ECX", "EDX", "ESI", "EDI", "EBP", "ESP", "EIP", "FLG",
                                            "CS", "DS", "SS", "ES", "FS", "GS"}


def test_reports_start_where_their_separator_stands(crash_logs):
    reports, _ = read_log(crash_logs.kinds)
    lines = crash_logs.kinds.read_bytes().split(b"\r\n")
    for report in reports:
        assert lines[report["line"] - 1] == b"=" * 90
        assert lines[report["line"]].startswith(b"[Started Time]:")
        assert lines[report["end_line"] - 1] == b""
    assert reports[0]["line"] == 1
    assert all(a["end_line"] < b["line"] for a, b in zip(reports, reports[1:]))


def test_machine_section_matches_what_the_host_saw(crash_logs):
    reports, _ = read_log(crash_logs.kinds)
    for kind, report, facts in zip(KINDS, reports, crash_logs.facts):
        bases = {os.path.basename(m["path"].replace("\\", "/")).lower(): int(m["base"], 16)
                 for m in report["modules"]}
        assert bases["crash_host.exe"] == facts["exe"], kind
        assert bases["ruxtrap.dll"] == facts["ruxtrap"], kind
        if kind == "dll":
            assert bases["crashlib.dll"] == facts["crashlib"]
        system = report["system"]
        assert system["build"] == facts["osBuild"]
        assert system["cpu_count"] == os.cpu_count()
        assert system["os"].startswith("Microsoft Windows")
        assert system["phys_memory_mb"] >= system["phys_avail_mb"] > 0
        assert set(system["display"]) == {"width", "height", "bits_per_pixel"}
        assert "c:\\" in [d["root"] for d in report["drives"]]
        assert report["start_time"] <= report["crash_time"]
        # Offsets within the module, from the module table's base.
        first = report["frames"][0]
        assert int(first["module_offset"], 16) == int(first["address"], 16) - bases[first["module"].lower()]


def test_summary_line_with_a_system_message(crash_logs, tmp_path):
    # On Windows a code without a name takes NTDLL's message, line ends and
    # all, which Wine's NTDLL does not have: the real report of the nameless
    # code gets the message Windows would give it, as the text-mode log holds it.
    reports, _ = read_log(crash_logs.kinds)
    index = KINDS.index("raise E0434352")
    raw = raw_reports(crash_logs.kinds)[index] + b"\r\n\r\n\r\n"
    message = b"{Not Enough Quota}\r\r\nNot enough %1.\r\r\n"
    nameless = b" caused an exception 0xE0434352 in module "
    assert nameless in raw
    log = tmp_path / "message.log"
    log.write_bytes(raw.replace(nameless, b" caused an " + message + b" in module "))
    (report,), skipped = read_log(log)
    assert skipped == []
    assert report["exception"] == "{Not Enough Quota} Not enough %1."
    original = reports[index]
    assert (report["module"], report["fault"], report["frames"]) == (original["module"], original["fault"],
                                                                     original["frames"])


def test_lines_of_a_later_version_are_passed_over(crash_logs, tmp_path):
    raw = raw_reports(crash_logs.kinds)[0] + b"\r\n\r\n\r\n"
    later = raw.replace(b"[Build]:", b"[GPU]:          Virtual Display 2.0\r\n[Build]:", 1)
    later = later.replace(b"\t\t\tCall Stack", b"[Thread]:\t0x1234\r\n\t\t\tCall Stack", 1)
    modules_end = later.index(b"\r\n" + b"=" * 90 + b"\r\n", later.index(b"All Modules")) + 2
    later = later[:modules_end] + b"=" * 40 + b"\r\n\t\t\tHandles\r\n0x00000104\tC:\\data.bin\r\n" + later[modules_end:]
    log = tmp_path / "later.log"
    log.write_bytes(later)
    (report,), skipped = read_log(log)
    (original,), _ = read_log_bytes(raw, tmp_path / "original.log")
    assert skipped == []
    assert report["system"].pop("other") == {"GPU": "Virtual Display 2.0"}
    for key in ("system", "modules", "exception", "fault", "frames", "registers", "complete"):
        assert report[key] == original[key], key


def read_log_bytes(data, path):
    path.write_bytes(data)
    return read_log(path)


def test_same_crash_twice_makes_one_group(crash_logs):
    result = run_triage("--json", crash_logs.kinds)
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    groups = document["groups"]
    assert sum(g["count"] for g in groups) == len(KINDS)
    assert len(groups) == len(set(KINDS))
    av = [g for g in groups if g["count"] == 2]
    assert len(av) == 1
    assert av[0]["top_frames"] == ["WriteThroughNullPointer", "Run", "wmain"]
    assert av[0]["first_seen"] < av[0]["last_seen"]
    # The example is the newest report: the second av, the last of the log.
    assert av[0]["line"] == document["reports"][-1]["line"]
    assert groups[0]["count"] == 2


def test_terminal_table(crash_logs):
    result = run_triage("--stacks", crash_logs.kinds, direct=True)
    assert result.returncode == 0, result.stderr
    table, stacks = result.stdout.split("\n\n#1 ", 1)
    lines = table.splitlines()
    assert lines[0] == "%d report(s) in 1 file(s), %d group(s), 0 skipped" % (len(KINDS), len(set(KINDS)))
    header, rows = lines[2], lines[3:]
    assert header.split()[:2] == ["count", "first"]
    assert len(rows) == len(set(KINDS))
    assert rows[0].split()[0] == "2"
    assert rows[0].endswith("EXCEPTION_ACCESS_VIOLATION | crash_host.exe | WriteThroughNullPointer < Run < wmain")
    assert any(r.endswith("exception 0xE0434352 | kernelbase.dll | RaiseException < RaiseCode < Run") for r in rows)
    assert all(str(crash_logs.kinds) + ":" in r for r in rows)
    # Each group's newest stack, the first one that of the second av crash.
    first = stacks.split("\n\n")[0].splitlines()
    assert "newest: %s:" % crash_logs.kinds in first[1]
    assert first[3].split()[:4] == ["0", first[2].split()[1], "crash_host.exe", "WriteThroughNullPointer+32"]
