#!/usr/bin/env python3
"""Writes the icon-name table of QtAwesome from Font Awesome's stylesheet.

    qtawesome-names.py font-awesome.css output.cpp

Every ".fa-NAME:before" selector of a rule whose content is one code point
becomes an entry; aliases (several selectors before one rule) give several
names for that code point. Hyphens are dropped from the names and a name that
begins with a digit gets the prefix "fa_", so that every name is usable as an
identifier ("500px" becomes "fa_500px").
"""
import re
import sys

RULE = re.compile(r'((?:\.fa-[a-z0-9-]+:before\s*,?\s*)+)\{\s*content:\s*"\\([0-9a-fA-F]+)";?\s*\}')
SELECTOR = re.compile(r'\.fa-([a-z0-9-]+):before')


def icon_names(css):
    entries = []
    for rule in RULE.finditer(css):
        code = int(rule.group(2), 16)
        for selector in SELECTOR.findall(rule.group(1)):
            name = selector.replace('-', '')
            if name[0].isdigit():
                name = 'fa_' + name
            entries.append((name, code))
    return entries


def main():
    if len(sys.argv) != 3:
        sys.exit('usage: qtawesome-names.py font-awesome.css output.cpp')
    with open(sys.argv[1], encoding='utf-8') as source:
        css = source.read()
    entries = icon_names(css)
    names = [name for name, _ in entries]
    if not entries:
        sys.exit('qtawesome-names.py: no icon found in ' + sys.argv[1])
    if len(set(names)) != len(names):
        sys.exit('qtawesome-names.py: two icons have the same name without hyphens')
    # Every ":before" of the stylesheet must have been read as an icon name.
    if len(entries) != len(re.findall(r'\.fa-[a-z0-9-]+:before', css)):
        sys.exit('qtawesome-names.py: a rule of the stylesheet was not understood')
    lines = [
        '// Generated from ' + sys.argv[1] + ' by qtawesome-names.py; do not edit.',
        '#include "qtawesomenames.h"',
        '',
        'const QtAwesomeNames::Entry QtAwesomeNames::entries[] = {',
    ]
    lines += ['    {"%s", 0x%04x},' % (name, code) for name, code in entries]
    lines += ['};', '', 'const std::size_t QtAwesomeNames::count = %d;' % len(entries), '']
    text = '\n'.join(lines)
    with open(sys.argv[2], 'w', encoding='utf-8') as out:
        out.write(text)


if __name__ == '__main__':
    main()
