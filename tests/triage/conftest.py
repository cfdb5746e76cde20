"""Logs written by the project's own crash hosts under Wine, made once per
test session and shared by the tests.

The build folder comes from RUXTRAP_BUILD_DIR (set by the CTest entry), else
build/ of the repository. Each crash runs through scripts/wine-run in the
build's Wine prefix; the library appends its report to C:\\CrashEvent.log,
which is collected after the last crash of a batch.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
TRIAGE = REPO / "bin" / "ruxtrap-triage"
sys.path.insert(0, str(REPO))

# Crash kinds appended to one log, in this order. "raise E0434352" raises a
# code without a name, for which Wine's NTDLL has no message either.
KINDS = ["av", "div0", "cpp", "chain", "dll", "thread", "deep 3", "raise E0434352", "av"]
# What each kind's report names: exception, faulting module, the first frames.
EXPECTED = {
    "av": ("EXCEPTION_ACCESS_VIOLATION", "crash_host.exe", ["WriteThroughNullPointer", "Run", "wmain"]),
    "div0": ("EXCEPTION_INT_DIVIDE_BY_ZERO", "crash_host.exe", ["DivideByZero", "Run", "wmain"]),
    "cpp": ("Microsoft C++ Exception", "kernelbase.dll", ["RaiseException", "RaiseCode", "Run"]),
    "chain": ("EXCEPTION_ACCESS_VIOLATION", "crash_host.exe", ["ChainInner", "ChainMiddle", "ChainOuter", "Run"]),
    "dll": ("EXCEPTION_ACCESS_VIOLATION", "crashlib.dll", ["CrashInLibrary", "CrashInOwnLibrary", "Run"]),
    "thread": ("EXCEPTION_ACCESS_VIOLATION", "crash_host.exe", ["WriteThroughNullPointer", "NullWriteThread"]),
    "deep 3": ("EXCEPTION_ACCESS_VIOLATION", "crash_host.exe",
               ["WriteThroughNullPointer", "Recurse", "Recurse", "Recurse", "Run"]),
    "raise E0434352": ("exception 0xE0434352", "kernelbase.dll", ["RaiseException", "RaiseCode", "Run"]),
}


class CrashLogs:
    """Paths of the logs the session's crashes wrote."""

    def __init__(self, folder):
        self.folder = folder
        self.kinds = folder / "kinds.log"        # every kind of KINDS, appended by the library
        self.facts = []                          # per kind: what the host recorded about itself
        self.stripped = folder / "stripped.log"  # the stripped twin: chain, dll
        self.pdb = folder / "pdb.log"            # the PDB host: with its PDB, then without
        self.symbols = None                      # the developer's debug files
        self.has_pdb_host = False


class Wine:
    def __init__(self, build):
        self.build = build
        self.prefix = Path(os.environ.get("RUXTRAP_WINEPREFIX", build / "wineprefix"))
        self.drive_c = self.prefix / "drive_c"
        self.log = self.drive_c / "CrashEvent.log"
        self.facts = self.drive_c / "ruxtrap-host-facts.txt"

    def clear(self):
        for path in (self.log, self.facts):
            if path.exists():
                path.unlink()

    def crash(self, program, kind):
        """Runs the host until it has crashed; returns the facts it recorded."""
        if self.facts.exists():
            self.facts.unlink()
        subprocess.run([str(REPO / "scripts" / "wine-run"), str(self.prefix), str(program)] + kind.split(),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300, check=False)
        facts = {}
        if self.facts.exists():
            for line in self.facts.read_text(errors="replace").splitlines():
                name, _, value = line.partition("=")
                facts[name] = int(value, 16)
        return facts

    def collect(self, destination):
        assert self.log.exists(), "the crash left no C:\\CrashEvent.log"
        destination.write_bytes(self.log.read_bytes())


@pytest.fixture(scope="session")
def build_dir():
    explicit = os.environ.get("RUXTRAP_BUILD_DIR")
    build = Path(explicit) if explicit else REPO / "build"
    host = build / "bin" / "crash_host.exe"
    if not host.exists():
        if explicit:
            pytest.fail("%s is missing: the build is incomplete" % host)
        pytest.skip("no build in %s: run scripts/build.sh build first" % build)
    return build


@pytest.fixture(scope="session")
def crash_logs(build_dir, tmp_path_factory):
    logs = CrashLogs(tmp_path_factory.mktemp("logs"))
    wine = Wine(build_dir)
    bin_dir = build_dir / "bin"
    triage_bin = bin_dir / "triage"
    logs.symbols = triage_bin / "symbols"

    wine.clear()
    for kind in KINDS:
        logs.facts.append(wine.crash(bin_dir / "crash_host.exe", kind))
    wine.collect(logs.kinds)

    wine.clear()
    for kind in ("chain", "dll"):
        wine.crash(triage_bin / "stripped" / "crash_host.exe", kind)
    wine.collect(logs.stripped)

    logs.has_pdb_host = (triage_bin / "pdb" / "crash_host_pdb.exe").exists()
    if logs.has_pdb_host:
        wine.clear()
        wine.crash(triage_bin / "pdb-named" / "crash_host_pdb.exe", "chain")
        wine.crash(triage_bin / "pdb" / "crash_host_pdb.exe", "chain")
        wine.collect(logs.pdb)
    wine.clear()
    return logs


def run_triage(*args, direct=False):
    """Runs the tool as a user would; returns the finished process (text)."""
    command = [str(TRIAGE)] if direct else [sys.executable, str(TRIAGE)]
    return subprocess.run(command + [str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, encoding="utf-8", timeout=300, check=False)


def read_log(path, encoding="cp1252"):
    """(reports, skipped) of one file, through the tool's own reader."""
    from triage.parse import LogReader
    reports, skipped = [], []
    LogReader(reports.append, skipped.append, encoding).read_file(str(path))
    return reports, skipped
