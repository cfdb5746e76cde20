"""ruxtrap-triage: reads the crash logs that Ruxtrap.dll appends to, splits
them into reports, names addresses from the developer's own debug files and
groups the reports into distinct crashes.

Standard library only, so the tool runs as it is on Windows and Linux.
"""

__version__ = "1.0"
