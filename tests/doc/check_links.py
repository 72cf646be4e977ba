#!/usr/bin/env python3
"""Checks the relative links of Markdown files: the file or folder named
exists, and an anchor (#...) names a heading of the file it points into
(GitHub's anchors: lower case, punctuation dropped, blanks as hyphens).
Links to other sites (http:, https:, mailto:) are not followed. Code blocks
and code spans are skipped.

    check_links.py FILE.md...
"""
import os
import re
import sys

LINK = re.compile(r'(?<!\!)\[[^\]]*\]\(([^)\s]+)(?:\s+"[^"]*")?\)|!\[[^\]]*\]\(([^)\s]+)\)')


def strip_code(text):
    text = re.sub(r'^(```|~~~).*?^\1[^\n]*$', '', text, flags=re.S | re.M)
    return re.sub(r'`[^`\n]*`', '', text)


def anchors(path):
    found, seen = set(), {}
    in_code = False
    with open(path, encoding='utf-8') as f:
        for line in f:
            if line.startswith('```') or line.startswith('~~~'):
                in_code = not in_code
                continue
            m = None if in_code else re.match(r'^#{1,6}\s+(.*?)\s*#*\s*$', line)
            if not m:
                continue
            slug = re.sub(r'[^\w\- ]', '', m.group(1).strip().lower()).replace(' ', '-')
            n = seen.get(slug, 0)
            seen[slug] = n + 1
            found.add(slug if n == 0 else f'{slug}-{n}')
    return found


def main(files):
    bad = 0
    checked = 0
    for md in files:
        with open(md, encoding='utf-8') as f:
            text = strip_code(f.read())
        for m in LINK.finditer(text):
            target = m.group(1) or m.group(2)
            if re.match(r'^[a-z][a-z0-9+.-]*:', target):
                continue
            checked += 1
            path, _, anchor = target.partition('#')
            dest = os.path.normpath(os.path.join(os.path.dirname(md), path)) if path else md
            if not os.path.exists(dest):
                print(f'FAIL: {md}: link to {target}: {dest} does not exist')
                bad += 1
                continue
            if anchor and dest.endswith('.md') and anchor not in anchors(dest):
                print(f'FAIL: {md}: link to {target}: {dest} has no heading with anchor #{anchor}')
                bad += 1
    if bad:
        return 1
    print(f'ok: {checked} relative links in {len(files)} files')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
