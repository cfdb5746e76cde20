"""Bad input never stops the tool: it says what it skipped, where and why,
and reads the rest. Exit status 0 when a report was read, 1 when none, 2 for
usage errors."""

import json
import shutil

from conftest import KINDS, read_log, run_triage

SEP90 = b"=" * 90


def report_chunks(log):
    """The raw reports of a real log, each with its three closing empty lines."""
    return [chunk + b"\r\n\r\n\r\n" for chunk in log.read_bytes().split(b"\r\n\r\n\r\n")[:-1]]


def line_of(data, offset):
    return data.count(b"\n", 0, offset) + 1


def test_log_cut_in_the_middle_of_reports(crash_logs, tmp_path):
    chunks = report_chunks(crash_logs.kinds)
    full, _ = read_log(crash_logs.kinds)
    chain = KINDS.index("chain")
    # A process killed in the middle of a frame line, one killed while it wrote
    # the module table, one in the middle of a line of the machine section, the
    # next report's separator glued to it; later crashes appended after them;
    # the last report cut at the end of the file.
    in_stack = chunks[chain].index(b"ChainOuter") + 5
    in_modules = chunks[chain + 1].index(b"All Modules") + 200
    in_system = chunks[chain + 1].index(b"[Build]") + 12
    cut_log = (chunks[0] + chunks[chain][:in_stack] + chunks[chain + 1][:in_modules] + chunks[chain + 1][:in_system]
               + chunks[chain + 2].lstrip(b"\r\n") + chunks[1][:chunks[1].index(b"Call Stack") + 200])
    path = tmp_path / "cut.log"
    path.write_bytes(cut_log)
    reports, skipped = read_log(path)
    assert [r["exception"] for r in reports] == [full[i]["exception"] for i in (0, chain, chain + 2, 1)]
    cut_chain = reports[1]
    assert not cut_chain["complete"]
    # The frames written before the cut are read; the half-written line is not.
    assert [f["function"] for f in cut_chain["frames"]] == ["ChainInner", "ChainMiddle"]
    assert cut_chain["frames"] == full[chain]["frames"][:2]
    assert reports[2]["complete"] and reports[2]["frames"] == full[chain + 2]["frames"]
    assert not reports[3]["complete"] and reports[3]["frames"] == full[1]["frames"][:len(reports[3]["frames"])]
    dll_at = cut_log.index(SEP90, len(chunks[0]) + in_stack)
    second_at = cut_log.index(SEP90, dll_at + in_modules - 2)
    next_at = cut_log.index(SEP90, second_at + in_system - 2)
    reason = "report cut short before its exception line (ends at line %d, where the next report starts)"
    assert skipped == [
        {"file": str(path), "line": line_of(cut_log, dll_at), "reason": reason % line_of(cut_log, second_at)},
        {"file": str(path), "line": line_of(cut_log, second_at), "reason": reason % line_of(cut_log, next_at)},
    ]
    assert reports[1]["end_line"] == line_of(cut_log, dll_at) - 1


def test_frame_line_cut_where_a_whole_line_could_end(crash_logs, tmp_path):
    # "line 0" of "line 0065": without its line end the frame line is known
    # to be cut, and is dropped rather than read as line 0.
    chain = KINDS.index("chain")
    full, _ = read_log(crash_logs.kinds)
    chunk = report_chunks(crash_logs.kinds)[chain]
    cut_at = chunk.index(b", line 0", chunk.index(b"ChainMiddle()")) + len(b", line 0")
    path = tmp_path / "cut-frame.log"
    path.write_bytes(chunk[:cut_at])
    reports, _ = read_log(path)
    assert [f["function"] for f in reports[0]["frames"]] == ["ChainInner"]
    assert reports[0]["frames"] == full[chain]["frames"][:1]


def test_log_cut_in_its_exception_line(crash_logs, tmp_path):
    chunk = report_chunks(crash_logs.kinds)[0]
    data = chunk[:chunk.index(b" caused an ") + 20]
    path = tmp_path / "cut-summary.log"
    path.write_bytes(data)
    assert read_log(path) == ([], [{"file": str(path), "line": 1, "reason":
                                   "report cut short in its exception line (ends at the end of the file)"}])
    assert run_triage(path).returncode == 1


def test_text_between_reports_is_skipped_with_its_lines(crash_logs, tmp_path):
    chunks = report_chunks(crash_logs.kinds)
    data = b"From: a user\r\n\r\n" + chunks[0] + b"copied from an e-mail\r\nby hand\r\n" + chunks[1]
    path = tmp_path / "mixed.log"
    path.write_bytes(data)
    reports, skipped = read_log(path)
    assert len(reports) == 2
    first = line_of(data, data.index(b"copied"))
    assert skipped == [
        {"file": str(path), "line": 1, "reason": "text outside any report (lines 1-1)"},
        {"file": str(path), "line": first, "reason": "text outside any report (lines %d-%d)" % (first, first + 1)},
    ]


def test_files_that_are_not_logs(crash_logs, build_dir, tmp_path):
    binary = build_dir / "bin" / "crash_host.exe"
    empty = tmp_path / "empty.log"
    empty.write_bytes(b"")
    reports, skipped = read_log(binary)
    assert reports == []
    assert len(skipped) == 1 and skipped[0]["line"] == 1
    assert skipped[0]["reason"].startswith("no crash report starts here: not a Ruxtrap crash log")
    assert read_log(empty) == ([], [{"file": str(empty), "line": 0, "reason": "empty file"}])
    result = run_triage("--json", binary, empty, tmp_path / "missing.log")
    assert result.returncode == 1
    document = json.loads(result.stdout)
    assert document["reports"] == [] and document["groups"] == []
    assert [s["file"] for s in document["skipped"]] == [str(binary), str(empty), str(tmp_path / "missing.log")]
    assert "ruxtrap-triage: skipped %s:0: empty file" % empty in result.stderr


def test_folder_tree_of_logs_and_other_files(crash_logs, build_dir, tmp_path):
    tree = tmp_path / "tree"
    (tree / "machine-a").mkdir(parents=True)
    (tree / "machine-b" / "old").mkdir(parents=True)
    shutil.copy(crash_logs.kinds, tree / "machine-a" / "CrashEvent.log")
    shutil.copy(crash_logs.stripped, tree / "machine-b" / "old" / "CrashEvent.log")
    shutil.copy(build_dir / "bin" / "crashlib.dll", tree / "machine-b" / "crashlib.dll")
    (tree / "machine-b" / "notes.txt").write_bytes(b"\xff\xfe\x00garbage\x00\r\n" * 3)
    # A log re-saved as UTF-16 by an editor: its byte-order mark says so.
    text = crash_logs.kinds.read_bytes().decode("cp1252")
    (tree / "machine-b" / "resaved.log").write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))
    result = run_triage("--json", tree)
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert len(document["reports"]) == 2 * len(KINDS) + 2
    files = {r["file"] for r in document["reports"]}
    assert files == {str(tree / "machine-a" / "CrashEvent.log"), str(tree / "machine-b" / "old" / "CrashEvent.log"),
                     str(tree / "machine-b" / "resaved.log")}
    assert sorted(s["file"] for s in document["skipped"]) == [str(tree / "machine-b" / "crashlib.dll"),
                                                                 str(tree / "machine-b" / "notes.txt")]
    assert document["groups"][0]["count"] == 4  # the av crash, twice in each copy of the log


def test_usage_errors_and_statuses(crash_logs, tmp_path):
    assert run_triage().returncode == 2
    assert run_triage("--json", "--html", tmp_path / "x.html", crash_logs.kinds).returncode == 2
    missing = run_triage("--symbols", tmp_path / "no-such-folder", crash_logs.kinds)
    assert missing.returncode == 2 and "not a folder" in missing.stderr
    assert run_triage("--encoding", "no-such-code-page", crash_logs.kinds).returncode == 2
    assert run_triage(tmp_path / "nothing-here").returncode == 1
    assert run_triage(crash_logs.kinds, tmp_path / "nothing-here").returncode == 0
