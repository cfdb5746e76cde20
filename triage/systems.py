"""The system a report came from, named from its build number where the
log's own name is missing or wrong.

The report's OS line knows no name past Windows 7: "Microsoft Windows Win7"
stands for every workstation of version 6.1 and later (7, 8, 8.1), "Microsoft
Windows 2008" for every server of version 6, and the name is empty on 10 and
11, where the line does not show the product type either. The build number
tells them apart.

Limits: a program whose manifest does not declare a newer Windows is told
version 6.2, build 9200, on 8.1, 10 and 11 alike, and one that declares 8.1
but not 10 is told 6.3, build 9600: those two builds name their own system
"or later". Builds of 10.0 that a server shares with a workstation name both.
"""

from functools import lru_cache

_PREFIX = "Microsoft Windows"

# Names the line gets right, or as nearly as the line can say.
_AS_WRITTEN = {
    "95": "Windows 95", "95 OSR 2": "Windows 95 OSR 2", "98": "Windows 98", "98 SE": "Windows 98 SE",
    "ME": "Windows ME", "NT 4.0": "Windows NT 4.0", "2000": "Windows 2000", "XP": "Windows XP",
    # Version 5.2 without its product type: XP x64 reads "2003" too.
    "2003": "Windows Server 2003 or XP x64", "Vista": "Windows Vista",
}

# Builds of version 10.0: the workstation's release and the server of the same build.
_BUILDS_10 = {
    10240: ("Windows 10 1507", None),
    10586: ("Windows 10 1511", None),
    14393: ("Windows 10 1607", "Server 2016"),
    15063: ("Windows 10 1703", None),
    16299: ("Windows 10 1709", "Server 1709"),
    17134: ("Windows 10 1803", "Server 1803"),
    17763: ("Windows 10 1809", "Server 2019"),
    18362: ("Windows 10 1903", "Server 1903"),
    18363: ("Windows 10 1909", "Server 1909"),
    19041: ("Windows 10 2004", "Server 2004"),
    19042: ("Windows 10 20H2", "Server 20H2"),
    19043: ("Windows 10 21H1", None),
    19044: ("Windows 10 21H2", None),
    19045: ("Windows 10 22H2", None),
    20348: (None, "Server 2022"),
    22000: ("Windows 11 21H2", None),
    22621: ("Windows 11 22H2", None),
    22631: ("Windows 11 23H2", None),
    25398: (None, "Server 23H2"),
    26100: ("Windows 11 24H2", "Server 2025"),
}
_FIRST_BUILD_10 = 10240
_FIRST_BUILD_11 = 22000

# Builds a program is told on newer systems that its manifest does not name.
_TOLD_OLDER = (9200, 9600)


def _or_later(name, build):
    return name + " or later" if build in _TOLD_OLDER else name


def _workstation_6(build):
    """Version 6.1 or later, a workstation ("Win7")."""
    if build is None:
        return "Windows 7 or later"
    if build < 8000:
        return "Windows 7"
    return _or_later("Windows 8" if build < 9300 else "Windows 8.1", build)


def _server_6(build):
    """Version 6, a server ("2008")."""
    if build is None:
        return "Windows Server 2008 or later"
    if build < 7000:
        return "Windows Server 2008"
    if build < 8000:
        return "Windows Server 2008 R2"
    return _or_later("Windows Server 2012" if build < 9300 else "Windows Server 2012 R2", build)


def _version_10(build):
    """The empty name: version 10.0, of either product type."""
    if build is None or build < _FIRST_BUILD_10:
        return None
    workstation, server = _BUILDS_10.get(build, (None, None))
    if server is None:
        return workstation or ("Windows 10" if build < _FIRST_BUILD_11 else "Windows 11")
    return "Windows " + server if workstation is None else "%s or %s" % (workstation, server)


@lru_cache(maxsize=256)
def name_system(os_line, build):
    """The system's name from the OS line as read (blanks at its ends
    stripped) and the build number (None when the log has none); None when
    the line is not one the library writes, or names no system this tool can
    place."""
    if os_line is None or not (os_line == _PREFIX or os_line.startswith(_PREFIX + " ")):
        return None
    name = os_line[len(_PREFIX):].strip()
    if name == "Win7":
        return _workstation_6(build)
    if name == "2008":
        return _server_6(build)
    if name == "":
        return _version_10(build)
    return _AS_WRITTEN.get(name)
