#!/usr/bin/env python3
"""The client's floors: a folder of client/ includes only from the folders below it.

    check_floors.py ROOT    checks every source file under ROOT/client

client/core includes only client/core; each engine folder (client/sqlite, client/postgres,
client/odbc) only client/core and itself; the top level of client/ anything of client/. No file
under client/ holds more than 500 lines.
"""
import os
import re
import sys

ENGINES = ('sqlite', 'postgres', 'odbc')
INCLUDE = re.compile(r'^\s*#\s*include\s+"(client/[^"]+)"')
MAX_LINES = 500


def folder_of(rel):
    parts = rel.split('/')
    return parts[1] if len(parts) > 2 else ''


def allowed(folder, target):
    to = folder_of(target)
    if folder == 'core':
        return to == 'core'
    if folder in ENGINES:
        return to in ('core', folder)
    return True


def problems(root):
    found = []
    top = os.path.join(root, 'client')
    for base, _, names in os.walk(top):
        for name in sorted(names):
            if not name.endswith(('.h', '.cpp')):
                continue
            path = os.path.join(base, name)
            rel = os.path.relpath(path, root).replace(os.sep, '/')
            with open(path, encoding='utf-8') as f:
                lines = f.read().split('\n')
            if len(lines) - (1 if lines[-1] == '' else 0) > MAX_LINES:
                found.append('%s: more than %d lines' % (rel, MAX_LINES))
            for n, line in enumerate(lines, 1):
                m = INCLUDE.match(line)
                if m and not allowed(folder_of(rel), m.group(1)):
                    found.append('%s:%d: includes %s from above or beside its floor' %
                                 (rel, n, m.group(1)))
    return found


if __name__ == '__main__':
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    bad = problems(sys.argv[1])
    for p in bad:
        print(p)
    sys.exit(1 if bad else 0)
