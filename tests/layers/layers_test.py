#!/usr/bin/env python3
"""Checks that the source folders depend one way and that the toolkit-free core includes no Qt.

Folders in dependency order: a file may include from its own folder and from folders before it,
never from a later one, nor from the tests, the test tools or the benchmarks, whose test doubles no
program may carry. The core folders include no Qt header. Exits 1 and lists every offending
line when a rule is broken.
"""
import re
import sys
from pathlib import Path

ORDER = ["base", "store", "serial", "timecode", "service", "dialogs", "app", "viewer"]
CORE = {"base", "store", "serial", "timecode", "service"}
TEST_ONLY = {"tests", "tools", "bench"}
PROJECT_INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"')
ANGLE_INCLUDE = re.compile(r"^\s*#\s*include\s+<([^>]+)>")
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".c"}


def is_qt_header(name):
    # Qt's class headers (<QWidget>, <QtCore/QString>) and module headers (<QtWidgets>).
    first = name.split("/")[0]
    return first.startswith("Qt") or re.fullmatch(r"Q[A-Z]\w*", first) is not None


def offences(top):
    found = []
    for position, folder in enumerate(ORDER):
        later = set(ORDER[position + 1:])
        for path in sorted((top / folder).rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES:
                continue
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
            for number, line in enumerate(lines, 1):
                where = f"{path.relative_to(top)}:{number}: {line.strip()}"
                project = PROJECT_INCLUDE.match(line)
                if project and project.group(1) in later | TEST_ONLY:
                    found.append(f"{where}  ({folder} must not include from {project.group(1)})")
                angle = ANGLE_INCLUDE.match(line)
                if folder in CORE and angle and is_qt_header(angle.group(1)):
                    found.append(f"{where}  ({folder} is toolkit-free)")
    return found


def main():
    top = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[2]
    if not all((top / folder).is_dir() for folder in ORDER):
        print(f"{top} does not hold the source folders {ORDER}")
        return 1
    found = offences(top)
    for offence in found:
        print(offence)
    print(f"{len(found)} include(s) against the folder order")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
