"""Logs as they come back damaged or re-saved, and folders that cannot all be
read: the tool never reads a damaged value as whole, and never passes over
something without saying so."""

import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile

from conftest import KINDS, TRIAGE, Wine, read_log, run_triage


def chain_report_and_next(log):
    """The raw chain report of the kinds log, and the report after it as a
    crash appends it after a killed one: from its separator on."""
    chunks = [c + b"\r\n\r\n\r\n" for c in log.read_bytes().split(b"\r\n\r\n\r\n")[:-1]]
    chain = KINDS.index("chain")
    return chunks[chain], chunks[chain + 1].lstrip(b"\r\n")


def assert_nothing_damaged(cut, whole):
    """Every value read from a cut report is the whole report's value."""
    for key in ("start_time", "crash_time", "executable", "exception", "module"):
        assert cut[key] in (None, whole[key]), key
    for name, value in (cut["registers"] or {}).items():
        assert value == whole["registers"][name], name
    if cut["fault"] is not None:
        for key, value in cut["fault"].items():
            assert value in (None, whole["fault"][key]), key
    assert cut["frames"] == whole["frames"][:len(cut["frames"])]


def test_cut_in_the_summary_or_the_registers(crash_logs, tmp_path):
    # A process killed anywhere in its exception line or its registers: the
    # file ends there, or the next crash's report follows the cut directly.
    report, following = chain_report_and_next(crash_logs.kinds)
    (whole,), _ = read_log_bytes(report, tmp_path / "whole.log")
    (next_whole,), _ = read_log_bytes(following, tmp_path / "next.log")
    first = report.index(b"\r\n", report.index(b"=" * 90, 100)) + 2
    registers = report.index(b"EAX=")
    last = report.index(b"\t\t\tCall Stack")
    for at in range(first + 1, last):
        for tail in (b"", following):
            reports, skipped = read_log_bytes(report[:at] + tail, tmp_path / "cut.log")
            if tail:
                assert reports and reports[-1]["frames"] == next_whole["frames"]
                assert reports[-1]["registers"] == next_whole["registers"]
                reports = reports[:-1]
            if not reports:
                # Cut in the exception line: skipped, said why.
                assert at < registers and "cut short in its exception line" in skipped[0]["reason"], at
                continue
            assert not reports[0]["complete"]
            assert_nothing_damaged(reports[0], whole)


def read_log_bytes(data, path):
    path.write_bytes(data)
    return read_log(path)


def as_other_user():
    """Root reads any file: the tool runs as nobody then, without root's
    groups, so that file modes count."""
    if os.geteuid() != 0:
        return None
    return lambda: (os.setgroups([]), os.setgid(65534), os.setuid(65534))


def copy_of_the_tool(folder):
    """The tool copied into folder, which any account may read: the
    repository's own copy may lie where only its owner can enter."""
    repo = os.path.dirname(os.path.dirname(TRIAGE))
    shutil.copytree(os.path.join(repo, "triage"), os.path.join(folder, "triage"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    os.mkdir(os.path.join(folder, "bin"))
    shutil.copy(TRIAGE, os.path.join(folder, "bin", "ruxtrap-triage"))
    for root, dirs, files in os.walk(folder):
        os.chmod(root, 0o755)
        for name in files:
            os.chmod(os.path.join(root, name), 0o644)
    return os.path.join(folder, "bin", "ruxtrap-triage")


def test_folders_that_cannot_be_read_links_to_folders_and_pipes(crash_logs):
    # Outside pytest's own temporary folders, which only their owner may enter.
    tree = tempfile.mkdtemp(prefix="ruxtrap-triage-tree-")
    try:
        os.chmod(tree, 0o755)
        for folder in ("readable", "locked", "elsewhere"):
            os.mkdir(os.path.join(tree, folder))
            shutil.copy(crash_logs.kinds, os.path.join(tree, folder, "CrashEvent.log"))
            os.chmod(os.path.join(tree, folder, "CrashEvent.log"), 0o644)
        os.chmod(os.path.join(tree, "readable"), 0o755)
        os.chmod(os.path.join(tree, "elsewhere"), 0o755)
        os.chmod(os.path.join(tree, "locked"), 0)
        os.symlink(os.path.join(tree, "elsewhere"), os.path.join(tree, "readable", "linked"))
        os.symlink("..", os.path.join(tree, "readable", "up"))
        os.mkfifo(os.path.join(tree, "readable", "pipe"))  # opening it would wait for a writer
        tool = copy_of_the_tool(os.path.join(tree, "tool"))
        result = subprocess.run([sys.executable, tool, "--json", os.path.join(tree, "readable"),
                                 os.path.join(tree, "locked")],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                                preexec_fn=as_other_user(), timeout=120, check=False)
        assert result.returncode == 0, result.stderr
        document = json.loads(result.stdout)
        assert {r["file"] for r in document["reports"]} == {os.path.join(tree, "readable", "CrashEvent.log")}
        reasons = {s["file"]: s["reason"] for s in document["skipped"]}
        assert reasons == {
            os.path.join(tree, "locked"): "cannot read folder: Permission denied",
            os.path.join(tree, "readable", "linked"): "a link to a folder, not followed (give it as a PATH)",
            os.path.join(tree, "readable", "up"): "a link to a folder, not followed (give it as a PATH)",
            os.path.join(tree, "readable", "pipe"): "not a regular file",
        }
        assert "skipped %s:0: cannot read folder" % os.path.join(tree, "locked") in result.stderr
    finally:
        os.chmod(os.path.join(tree, "locked"), stat.S_IRWXU)
        shutil.rmtree(tree)


def test_codecs_that_are_no_code_page_are_usage_errors(crash_logs):
    for name in ("utf-16", "utf-32", "base64", "rot13", "idna"):
        result = run_triage("--encoding", name, crash_logs.kinds)
        assert result.returncode == 2, (name, result.stderr)
        assert result.stderr.startswith("ruxtrap-triage: unknown encoding %r" % name), result.stderr
    assert run_triage("--encoding", "cp1251", crash_logs.kinds).returncode == 0


def test_log_resaved_as_utf8_without_a_mark(build_dir, tmp_path):
    # A program in a folder whose name lies outside ASCII: its report holds
    # that name in the ANSI code page. An editor re-saves it as UTF-8 without
    # a byte-order mark; both copies read the same.
    folder = tmp_path / "Zo\u00eb's tools"
    folder.mkdir()
    for name in ("crash_host.exe", "Ruxtrap.dll", "crashlib.dll", "WScript.exe"):
        shutil.copy(build_dir / "bin" / name, folder / name)
    wine = Wine(build_dir)
    wine.clear()
    wine.crash(folder / "crash_host.exe", "av")
    ansi = tmp_path / "ansi.log"
    wine.collect(ansi)
    wine.clear()
    assert "Zo\u00eb's tools".encode("cp1252") in ansi.read_bytes()
    resaved = tmp_path / "resaved.log"
    resaved.write_bytes(ansi.read_bytes().decode("cp1252").encode("utf-8"))
    (original,), _ = read_log(ansi)
    (copy,), _ = read_log(resaved)
    assert original["modules"][0]["path"].endswith("\\Zo\u00eb's tools\\crash_host.exe")
    for key in ("modules", "executable", "exception", "fault", "frames"):
        assert copy[key] == original[key], key



def first_unit_of_version_5(line_table):
    """Offset of the first DWARF 5 unit of a .debug_line section (MinGW's
    start-up code brings them), and its opcode base."""
    at = 0
    while at + 6 <= len(line_table):
        length = int.from_bytes(line_table[at:at + 4], "little")
        if int.from_bytes(line_table[at + 4:at + 6], "little") == 5:
            return at, line_table[at + 17]
        at += 4 + length
    raise AssertionError("no DWARF 5 line table unit")


def test_damaged_debug_file_does_not_stop_the_run(crash_logs, tmp_path):
    # A debug file damaged in the developer's store: a line table unit whose
    # line range is 0, or whose file table counts more entries than it holds.
    from triage.pe_image import PEImage
    source = crash_logs.symbols / "crash_host.exe.debug"
    section = next(s for s in PEImage(str(source)).sections if s.name == ".debug_line")
    data = source.read_bytes()
    unit, opcode_base = first_unit_of_version_5(data[section.raw_offset:section.raw_offset + section.raw_size])
    unit += section.raw_offset
    formats = unit + 18 + opcode_base - 1
    whole = json.loads(run_triage("--json", "--symbols", crash_logs.symbols, crash_logs.stripped).stdout)
    for name, at, damage in (("line-range", unit + 16, b"\0"), ("file-count", formats, b"\0\xff\xff\xff\x7f")):
        damaged = bytearray(data)
        damaged[at:at + len(damage)] = damage
        shutil.copytree(crash_logs.symbols, tmp_path / name)
        (tmp_path / name / "crash_host.exe.debug").write_bytes(damaged)
        result = run_triage("--json", "--symbols", tmp_path / name, crash_logs.stripped)
        assert result.returncode == 0, (name, result.stderr)
        reports = json.loads(result.stdout)["reports"]
        assert [[f["function"] for f in r["frames"]] for r in reports] == \
               [[f["function"] for f in r["frames"]] for r in whole["reports"]], name


def test_output_reader_gone_is_no_fault_of_the_logs(crash_logs, tmp_path):
    # "ruxtrap-triage --json LOGS | head": the writes fail while a log is
    # being read; that log is not one that cannot be read.
    big = tmp_path / "big.log"
    big.write_bytes(crash_logs.kinds.read_bytes() * 40)
    process = subprocess.Popen([sys.executable, str(TRIAGE), "--json", str(big), str(crash_logs.kinds)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.read(100)
    process.stdout.close()
    errors = process.stderr.read().decode()
    assert process.wait(timeout=300) == 0
    assert "cannot read" not in errors, errors
