#!/usr/bin/python3
"""Holds every program's exit statuses to its manual page's EXIT STATUS.

    check_exit_status.py SOURCE_DIR BIN_DIR

The statuses "in the code" are, for stripectl, its table (the one its
--help prints), and for the others every literal status their entry points
end with (return N in main or parseOptions, exit(N), a shell's exit N).
Each must be in the page's EXIT STATUS section, and each status there must
be one the code gives. Then each program is given bad command lines: every
one must end with status 2 and a message on standard error.
"""
import re
import subprocess
import sys
from pathlib import Path

# program: (manual page, [(source file, function whose literal returns are
# exit statuses, or None for exit calls only)])
SOURCES = {
    'stripedrvd': ('packaging/man/stripedrvd.1',
                   [('service/main.cpp', 'main'), ('service/options.cpp', 'parseOptions')]),
    'readersim': ('packaging/man/readersim.1', [('readersim/main.cpp', 'main')]),
    'cardtest-launch': ('packaging/man/cardtest-launch.1',
                        [('packaging/cardtest-launch.in', None)]),
}

# Command lines each program must refuse with status 2.
USAGE_ERRORS = {
    'stripectl': [['read', '--baud', '1234'], ['read', '--no-such-option'], ['frobnicate'],
                  ['read', '--timeout']],
    'stripedrvd': [['--baud', '1234'], ['--no-such-option'], ['--idle-timeout', '0'],
                   ['--listen', '192.0.2.1:8765'], ['--match', 'xyz'], ['--listen'],
                   ['--config', '/nonexistent/stripedrvd.conf'], ['stray-argument']],
    'readersim': [['--no-such-option'], ['--swipe-delay', 'soon'], ['--link']],
    'cardtest-launch': [['--no-such-option'], ['--trace', 'maybe']],
}


def function_body(text, name):
    """The text of the C++ function `name` (from its head to the closing
    brace at the start of a line)."""
    head = re.search(r'^int\s+' + name + r'\s*\(', text, re.M)
    if not head:
        return ''
    end = re.search(r'^}', text[head.end():], re.M)
    return text[head.start():head.end() + (end.start() if end else len(text))]


def code_statuses(source, files):
    statuses = {}
    for path, function in files:
        text = (source / path).read_text(encoding='utf-8')
        if path.endswith('.in'):
            for m in re.finditer(r'\bexit\s+(\d+)', text):
                statuses.setdefault(int(m.group(1)), path)
            continue
        for m in re.finditer(r'\b(?:std::)?_?exit\s*\(\s*(\d+)\s*\)', text):
            statuses.setdefault(int(m.group(1)), path)
        if function:
            for m in re.finditer(r'\breturn\s+(\d+)\s*;', function_body(text, function)):
                statuses.setdefault(int(m.group(1)), f'{path} ({function})')
    return statuses


def stripectl_statuses(bin_dir):
    text = subprocess.run([str(bin_dir / 'stripectl'), '--help'], stdout=subprocess.PIPE,
                          text=True, timeout=30).stdout
    section = text.split('Exit status:', 1)[-1]
    return {int(m.group(1)): 'stripectl --help (tools/stripectl/exit_status.cpp)'
            for m in re.finditer(r'^\s*(\d+)\s', section, re.M)}


def page_statuses(path):
    text = path.read_text(encoding='utf-8')
    m = re.search(r'^\.SH EXIT STATUS\n(.*?)(?=^\.SH |\Z)', text, re.M | re.S)
    if not m:
        return None
    return {int(n) for n in re.findall(r'^\.TP\n\.B\s+(\d+)\s*$', m.group(1), re.M)}


def program_path(bin_dir, program):
    if program == 'cardtest-launch':
        return ['sh', str(bin_dir.parent / 'packaging' / 'cardtest-launch')]
    return [str(bin_dir / program)]


def main():
    source, bin_dir = Path(sys.argv[1]), Path(sys.argv[2])
    problems = []
    pairs = 0
    programs = {'stripectl': ('packaging/man/stripectl.1', stripectl_statuses(bin_dir))}
    for program, (page, files) in SOURCES.items():
        programs[program] = (page, code_statuses(source, files))
    for program, (page, statuses) in programs.items():
        listed = page_statuses(source / page)
        if listed is None:
            problems.append(f'{page}: no EXIT STATUS section; add one listing '
                            f'{", ".join(map(str, sorted(statuses)))}')
            continue
        for status, where in sorted(statuses.items()):
            pairs += 1
            if status not in listed:
                problems.append(f'{page}: EXIT STATUS lacks {status} ({where} ends with it)')
        for status in sorted(listed - set(statuses)):
            problems.append(f'{page}: EXIT STATUS lists {status}, which {program} never gives')

    usage = 0
    for program, lines in USAGE_ERRORS.items():
        for args in lines:
            usage += 1
            done = subprocess.run(program_path(bin_dir, program) + args, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  timeout=30)
            typed = ' '.join([program] + args)
            if done.returncode != 2:
                problems.append(f'{typed}: exit status {done.returncode}, not 2 as for every '
                                f'usage error (stderr: {done.stderr.strip()[:200]!r})')
            elif not done.stderr.strip():
                problems.append(f'{typed}: status 2 but no message on standard error')

    if problems:
        print('Exit statuses and manual pages differ:')
        for problem in problems:
            print('  ' + problem)
        return 1
    print(f'{pairs} program/exit-status pairs in their manual pages; '
          f'{usage} bad command lines end with 2 and a message')
    return 0


if __name__ == '__main__':
    sys.exit(main())
