#!/usr/bin/env python3
"""Checks that the product's folders stand on floors: a folder includes only from folders below
it, and a library links only libraries below it, so that no include and no link runs back up.

    scripts/check_floors.py [SOURCE_DIR]

Exit 0 when every include and link keeps to the floors, 1 with one line per one that does not.
The floors, lowest first; folders on one floor may not use each other. The client's files stay
short enough to read: none holds more than 500 lines.
"""
import pathlib
import re
import sys

FLOORS = [
    ["run/ground"],                                  # run log, settings, cipher, dates, address
    ["client/core"],                                 # interface, statement table, policy
    ["client/sqlite", "client/postgres", "client/odbc"],  # one engine each
    ["client"],                                      # the registry that names the engines
    ["db"],                                          # the session and statement modules
    ["followup"],                                    # the follow-up rules
    ["scan"],                                        # the day scan and the reference-day search
    ["run"],                                         # the program entry and the night
    ["tools"],                                       # parvekctl
]
LIBRARIES = {"parvek_ground": "run/ground", "parvek_client_core": "client/core",
             "parvek_client_sqlite": "client/sqlite", "parvek_client_postgres": "client/postgres",
             "parvek_client_odbc": "client/odbc", "parvek_client": "client", "parvek_db": "db",
             "parvek_followup": "followup", "parvek_scan": "scan", "parvek_run": "run"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
MAX_CLIENT_LINES = 500
LINK = re.compile(r"parvek_folder_library\((\w+)[^)]*?\bLINK\b([^)]*)\)", re.S)


def floor_of(folder):
    for i, names in enumerate(FLOORS):
        if folder in names:
            return i
    return None


def self_test():
    """A tree with one include and one link that run back up must give exactly those two."""
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        for folder, text in [("run/ground", '#include "run/ground/RunLog.h"\n'),
                             ("scan", '#include "run/ground/RunLog.h"\n#include "run/Night.h"\n'),
                             ("run", '#include "scan/TagYday_Scan.h"\n')]:
            (root / folder).mkdir(parents=True, exist_ok=True)
            (root / folder / "x.cpp").write_text(text)
        (root / "client" / "odbc").mkdir(parents=True)
        (root / "client" / "odbc" / "long.cpp").write_text("int x;\n" * 501)
        (root / "scan" / "CMakeLists.txt").write_text(
            "parvek_folder_library(parvek_scan LINK parvek_ground parvek_run)\n")
        faults = check(root)
    expected = ["scan/x.cpp: includes run/Night.h, which is not below scan",
                "scan/CMakeLists.txt: parvek_scan links parvek_run, which is not below it",
                "client/odbc/long.cpp: 501 lines, more than 500"]
    if faults != expected:
        print("self-test failed:", faults)
        return 1
    print("self-test passed")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    faults = check(root)
    for f in faults:
        print(f)
    if not faults:
        print("floors kept: no include or link runs back up")
    return 1 if faults else 0


def check(root):
    known = {f for names in FLOORS for f in names}
    faults = []
    for folder in sorted(known):
        base = root / folder
        if not base.is_dir():
            continue
        here = floor_of(folder)
        for path in sorted(base.iterdir()):
            if path.suffix not in (".h", ".cpp"):
                continue
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                used = str(pathlib.PurePosixPath(target).parent)
                there = floor_of(used)
                if there is None or used == folder:
                    continue
                if there >= here:
                    faults.append(f"{path.relative_to(root)}: includes {target}, "
                                  f"which is not below {folder}")
    for cmake in sorted(root.glob("**/CMakeLists.txt")):
        rel = cmake.relative_to(root)
        if rel.parts[0] in ("build", "tests", "bench", "fuzz"):
            continue
        for name, links in LINK.findall(cmake.read_text()):
            if name not in LIBRARIES:
                continue
            here = floor_of(LIBRARIES[name])
            for other in links.split():
                if other in LIBRARIES and floor_of(LIBRARIES[other]) >= here:
                    faults.append(f"{rel}: {name} links {other}, which is not below it")
    for path in sorted((root / "client").rglob("*")):
        if path.suffix in (".h", ".cpp") and "build" not in path.relative_to(root).parts:
            lines = len(path.read_text(errors="replace").splitlines())
            if lines > MAX_CLIENT_LINES:
                faults.append(f"{path.relative_to(root)}: {lines} lines, more than "
                              f"{MAX_CLIENT_LINES}")
    return faults


if __name__ == "__main__":
    sys.exit(main())
