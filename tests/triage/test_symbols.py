"""Offline names: a stripped host's report, named from the developer's debug
files, must say what its unstripped twin's report says in-process."""

import json
import shutil

import pytest

from conftest import KINDS, read_log, run_triage


def same_file(a, b):
    """Wine names files by their DOS path (Z:\\src\\x.cpp), DWARF by the Unix one."""
    def plain(path):
        path = path.replace("\\", "/")
        return (path[2:] if path[1:2] == ":" else path).lower()
    return plain(a) == plain(b)


def offline_reports(log, symbols):
    result = run_triage("--json", "--symbols", symbols, log)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def needs_symbolizer():
    if shutil.which("llvm-symbolizer") is None:
        pytest.fail("llvm-symbolizer is missing: scripts/setup.sh installs Debian's llvm package")


def test_stripped_twin_named_offline_as_in_process(crash_logs):
    needs_symbolizer()
    twins, _ = read_log(crash_logs.kinds)
    twins = [twins[KINDS.index("chain")], twins[KINDS.index("dll")]]
    stripped, _ = read_log(crash_logs.stripped)
    # The premise: the stripped host's own report has addresses, no names.
    assert [f["function"] for r in stripped for f in r["frames"]] == [None] * sum(len(r["frames"]) for r in stripped)
    document = offline_reports(crash_logs.stripped, crash_logs.symbols)
    named = 0
    for twin, report in zip(twins, document["reports"]):
        assert [f["address"] for f in report["frames"]] == [f["address"] for f in twin["frames"]]
        for mine, theirs in zip([report["fault"]] + report["frames"], [twin["fault"]] + twin["frames"]):
            if theirs["function"] is None:
                continue
            assert mine["resolved"] == "offline"
            assert (mine["function"], mine["function_offset"], mine["line"], mine["line_offset"]) == \
                (theirs["function"], theirs["function_offset"], theirs["line"], theirs["line_offset"])
            assert same_file(mine["file"], theirs["file"])
            named += 1
    assert named >= 10
    # Named alike, the stripped crashes fall into their twins' groups.
    both = run_triage("--json", "--symbols", crash_logs.symbols, crash_logs.kinds, crash_logs.stripped)
    groups = {g["top_frames"][0]: g for g in json.loads(both.stdout)["groups"]}
    assert groups["ChainInner"]["count"] == 2 and groups["CrashInLibrary"]["count"] == 2


def test_modules_without_debug_files_keep_their_addresses(crash_logs):
    needs_symbolizer()
    report = offline_reports(crash_logs.stripped, crash_logs.symbols)["reports"][0]
    system = [f for f in report["frames"] if f["module"] in ("kernel32.dll", "ntdll.dll")]
    assert system and all(f["function"] is None and f["resolved"] is None for f in system)
    assert all(f["module_offset"] for f in system)


def test_pdb_host_named_offline(crash_logs):
    needs_symbolizer()
    if not crash_logs.has_pdb_host:
        pytest.skip("the PDB host was not built: clang or ld.lld is missing")
    (named, bare), _ = read_log(crash_logs.pdb)
    assert bare["frames"][0]["function"] is None
    # Wine's stack walker stops after the first frame of a host whose PDB it
    # read; the PDB-less run walks them all.
    assert len(named["frames"]) == 1 and len(bare["frames"]) > 4
    document = offline_reports(crash_logs.pdb, crash_logs.symbols)
    offline = document["reports"][1]
    for mine, theirs in ((offline["fault"], named["fault"]), (offline["frames"][0], named["frames"][0])):
        assert (mine["function"], mine["line"], mine["resolved"]) == (theirs["function"], theirs["line"], "offline")
        assert same_file(mine["file"], theirs["file"])
    # The frames below, against the DWARF twin's in-process names and lines.
    dwarf, _ = read_log(crash_logs.kinds)
    dwarf = dwarf[KINDS.index("chain")]
    for mine, theirs in zip(offline["frames"][1:5], dwarf["frames"][1:5]):
        assert mine["function"].split("::")[-1] == theirs["function"]
        assert mine["line"] == theirs["line"]
