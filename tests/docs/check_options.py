#!/usr/bin/python3
"""Holds every program's --help to its manual page and its guide, both ways.

    check_options.py SOURCE_DIR BIN_DIR

Every option a program's --help shows (stripectl's and each of its
commands') must appear in the program's manual page (packaging/man) and in
its guide; every option either names must be one the program has, unless the
table below says whose it is (a guide also shows other programs' command
lines). Each miss is reported as "file: --option ..." with what to do.
"""
import re
import subprocess
import sys
from pathlib import Path

OPTION = re.compile(r'(?<![\w-])--[a-z][a-z0-9]*(?:-[a-z0-9]+)*')

# Options of other programs that a page shows in their command lines, by
# page: the reverse check lets these through.
FOREIGN = {
    'packaging/man/stripedrvd.1': {'--user', '--now'},                  # systemctl
    'docs/service.md': {'--user', '--now', '--test', '--strict',        # systemctl, node, tsc
                        '--real', '--noEmit',                           # scripts/run-service
                        '--offline', '--threshold',                     # systemd-analyze
                        '--wait', '--pty',                              # systemd-run
                        '--reuid'},                                     # setpriv
    'tools/README.md': {'--test-dir'},                                  # ctest
    'docs/console.md': {'--real'},                                      # scripts/run-console
    'readersim/README.md': {'--port'},                                 # stripectl
    'packaging/man/readersim.1': set(),
    'packaging/man/stripectl.1': set(),
    'packaging/man/cardtest-launch.1': set(),
}

# Programs whose options a page also shows (readersim started beside
# stripectl, the console started on a simulated reader).
ALSO = {
    'tools/README.md': ['readersim'],
    'docs/console.md': ['readersim'],
}


def run(argv):
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=30)
    return done.stdout


def stripectl_commands(text):
    # The overall help lists the commands, one a line: "  read   waits ...".
    section = text.split('Commands:', 1)[-1]
    return [m.group(1) for m in re.finditer(r'^  ([a-z]+)\s', section, re.M)
            if m.group(1) != 'stripectl']


def help_options(bin_dir, program):
    """{option: [where --help shows it]}"""
    found = {}

    def take(text, where):
        for option in OPTION.findall(text):
            found.setdefault(option, []).append(where)

    if program == 'cardtest-launch':
        take(run(['sh', str(bin_dir.parent / 'packaging' / 'cardtest-launch'), '--help']),
             'cardtest-launch --help')
        return found
    exe = [str(bin_dir / program)]
    text = run(exe + ['--help'])
    take(text, program + ' --help')
    if program == 'stripectl':
        for command in stripectl_commands(text):
            take(run(exe + [command, '--help']), f'stripectl {command} --help')
    return found


def synopsis_options(path):
    """The options of a manual page's SYNOPSIS section."""
    text = path.read_text(encoding='utf-8').replace('\\-', '-')
    m = re.search(r'^\.SH SYNOPSIS\n(.*?)^\.SH ', text, re.M | re.S)
    return set(OPTION.findall(m.group(1))) if m else set()


def page_options(path):
    """{option: first line number} of a manual page or a Markdown guide."""
    found = {}
    for number, line in enumerate(path.read_text(encoding='utf-8').splitlines(), 1):
        if path.suffix == '.1':
            line = line.replace('\\-', '-').replace('\\fB', '').replace('\\fR', '') \
                       .replace('\\fI', '')
        for option in OPTION.findall(line):
            found.setdefault(option, number)
    return found


# Programs whose manual page's SYNOPSIS lists every option (stripectl's and
# readersim's say [options] and list them below).
FULL_SYNOPSIS = {'stripedrvd', 'cardtest-launch'}

PROGRAMS = {
    # program: (manual page, guide)
    'stripectl': ('packaging/man/stripectl.1', 'tools/README.md'),
    'readersim': ('packaging/man/readersim.1', 'readersim/README.md'),
    'stripedrvd': ('packaging/man/stripedrvd.1', 'docs/service.md'),
    'cardtest-launch': ('packaging/man/cardtest-launch.1', 'docs/console.md'),
}


def main():
    source, bin_dir = Path(sys.argv[1]), Path(sys.argv[2])
    helps = {p: help_options(bin_dir, p) for p in PROGRAMS}
    problems = []
    pairs = 0
    for program, pages in PROGRAMS.items():
        if not helps[program]:
            problems.append(f'{program} --help shows no option at all: is it built?')
            continue
        if program in FULL_SYNOPSIS:
            synopsis = synopsis_options(source / pages[0])
            for option, where in sorted(helps[program].items()):
                pairs += 1
                if option not in synopsis:
                    problems.append(f'{pages[0]}: {option} is missing from the SYNOPSIS '
                                    f'({where[0]} shows it)')
        for page in pages:
            seen = page_options(source / page)
            for option, where in sorted(helps[program].items()):
                pairs += 1
                if option not in seen:
                    problems.append(f'{page}: {option} is missing ({where[0]} shows it); '
                                    f'describe it there')
            known = set(helps[program]) | FOREIGN.get(page, set())
            for other in ALSO.get(page, []):
                known |= set(helps[other])
            for option, line in sorted(seen.items(), key=lambda item: item[1]):
                if option not in known:
                    problems.append(f'{page}:{line}: {option} is no option of {program} '
                                    f'(its --help does not show it); remove it, or if the '
                                    f'line shows another program, name the option in '
                                    f'tests/docs/check_options.py FOREIGN')
    if problems:
        print('The options in the manual pages and guides differ from the programs\' --help:')
        for problem in problems:
            print('  ' + problem)
        return 1
    print(f'{pairs} option/page pairs: every --help option in its manual page and guide, '
          f'and no other')
    return 0


if __name__ == '__main__':
    sys.exit(main())
