#!/usr/bin/env python3
"""Every relative link in the README and the guides must name a file that exists and, with a
'#fragment', a heading of that file (as the repository's web view makes heading anchors).

    check_links.py ROOT          checks ROOT/README.md and every .md file under ROOT/doc
    check_links.py --self-test   the checker on a made-up tree with known faults
"""
import os
import re
import sys
import tempfile

LINK = re.compile(r'!?\[[^\]]*\]\(([^)\s]+)(?:\s+"[^"]*")?\)')


def slug(heading):
    text = re.sub(r'[^\w\- ]', '', heading.strip().lower())
    return text.replace(' ', '-')


def outside_code(text):
    """The lines outside fenced code blocks, with inline code spans blanked out."""
    fence = None
    for line in text.split('\n'):
        mark = re.match(r'^\s*(```|~~~)', line)
        if mark:
            fence = None if fence == mark.group(1) else (fence or mark.group(1))
            continue
        if fence is None:
            yield re.sub(r'`[^`]*`', '', line) if not line.startswith('#') else line


def anchors(path):
    seen = {}
    result = set()
    with open(path, encoding='utf-8') as f:
        for line in outside_code(f.read()):
            m = re.match(r'^#{1,6}\s+(.*?)\s*#*\s*$', line)
            if not m:
                continue
            base = slug(m.group(1))
            n = seen.get(base, 0)
            seen[base] = n + 1
            result.add(base if n == 0 else '%s-%d' % (base, n))
    return result


def problems(root):
    files = [os.path.join(root, 'README.md')]
    for top, _, names in os.walk(os.path.join(root, 'doc')):
        files += [os.path.join(top, n) for n in sorted(names) if n.endswith('.md')]
    found = []
    for md in files:
        if not os.path.exists(md):
            found.append('%s: missing' % os.path.relpath(md, root))
            continue
        with open(md, encoding='utf-8') as f:
            lines = list(outside_code(f.read()))
        for line in lines:
            for target in LINK.findall(line):
                if re.match(r'^[a-z][a-z0-9+.-]*:', target):
                    continue  # http:, https:, mailto: ...
                path, _, frag = target.partition('#')
                dest = os.path.normpath(os.path.join(os.path.dirname(md), path)) if path else md
                where = '%s -> %s' % (os.path.relpath(md, root), target)
                if not os.path.exists(dest):
                    found.append('%s: no such file' % where)
                elif frag and (not dest.endswith('.md') or frag not in anchors(dest)):
                    found.append('%s: no such heading' % where)
    return found


def self_test():
    with tempfile.TemporaryDirectory() as root:
        os.mkdir(os.path.join(root, 'doc'))
        with open(os.path.join(root, 'README.md'), 'w') as f:
            f.write('# T\n\n[ok](doc/a.md#second-part) [ok](#t) [bad](doc/b.md) '
                    '[bad](doc/a.md#nope) [ok](https://example.org/x#y)\n'
                    '```\n[in code](doc/none.md)\n```\n')
        with open(os.path.join(root, 'doc', 'a.md'), 'w') as f:
            f.write('# A\n\n## Second part\n\n## Second part\n\n[ok](#second-part-1) '
                    '[ok](../README.md#t) [bad](#third) ![pic](../img.png) `[code](x.md)`\n')
        got = problems(root)
    want = ['README.md -> doc/b.md: no such file',
            'README.md -> doc/a.md#nope: no such heading',
            'doc/a.md -> #third: no such heading',
            'doc/a.md -> ../img.png: no such file']
    if got != want:
        print('self-test: found %r, expected %r' % (got, want))
        return 1
    print('self-test: the %d planted faults found, nothing else' % len(want))
    return 0


def main(argv):
    if argv[1:] == ['--self-test']:
        return self_test()
    if len(argv) != 2:
        print(__doc__)
        return 2
    found = problems(argv[1])
    for p in found:
        print(p)
    print('%d broken links' % len(found))
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
