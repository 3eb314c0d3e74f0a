#!/usr/bin/python3
"""Runs the shell blocks of README.md and the guides that are marked runnable.

    run_blocks.py SOURCE_DIR BIN_DIR

A shell block is a fenced block whose info string starts with sh, bash or
shell; the word after it says what the block needs:

    runnable       runs here, against the simulated reader (below)
    root           changes the machine (installs, groups, udev): not run
    hardware       needs a real reader on a real adapter: not run
    display        starts the console, which needs a display: not run
    long           builds the project or runs a test stage: not run
    until-stopped  runs until Ctrl-C (a simulator, a service): not run
    session        needs a systemd user session: not run

A shell block without one of these words fails the check, so that every
block says whether it is run. A runnable block runs under bash -euo
pipefail, in an empty directory of its own that also holds build/normal/bin
(a link to the programs of this build), with those programs first on PATH
and STRIPECTL_PORT naming a simulated reader (readersim) started for that
block alone. It must end with status 0 within 60 seconds; lines shown with
a "$ " prompt are the commands, the others their output.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

PAGES = ['README.md', 'tools/README.md', 'readersim/README.md', 'docs/service.md',
         'docs/hardware.md', 'docs/console.md', 'docs/fuzzing.md', 'docs/platforms.md',
         'docs/benchmarks.md', 'docs/architecture.md', 'python/README.md',
         'reqjson/README.md', 'bench/README.md', 'clients/js/README.md']
MARKS = {'runnable', 'root', 'hardware', 'display', 'long', 'until-stopped', 'session'}
SHELLS = {'sh', 'bash', 'shell', 'console'}
FENCE = re.compile(r'^(\s*)(`{3,}|~{3,})\s*([\w-]*)\s*(.*)$')


def blocks(path):
    """(first line, language, mark, text) of every fenced block."""
    lines = path.read_text(encoding='utf-8').splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, language, rest = m.groups()
        start, body = i + 1, []
        i += 1
        while i < len(lines) and not lines[i].strip().startswith(fence):
            line = lines[i]
            body.append(line[len(indent):] if line.startswith(indent) else line.lstrip())
            i += 1
        i += 1
        yield start, language, rest.split()[0] if rest.split() else '', '\n'.join(body) + '\n'


def commands(text):
    lines = text.splitlines()
    if any(line.startswith('$ ') for line in lines):
        return '\n'.join(line[2:] for line in lines if line.startswith('$ ')) + '\n'
    return text


def start_reader(bin_dir, where):
    reader = subprocess.Popen([str(bin_dir / 'readersim'), '--quiet'], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True,
                              cwd=where)
    port = reader.stdout.readline().strip()
    if not port:
        reader.kill()
        raise RuntimeError('readersim did not start')
    return reader, port


def run(bin_dir, text):
    """(status, output) of one runnable block."""
    with tempfile.TemporaryDirectory(prefix='sddocs.') as where:
        home = Path(where)
        (home / 'build' / 'normal').mkdir(parents=True)
        (home / 'build' / 'normal' / 'bin').symlink_to(bin_dir)
        reader, port = start_reader(bin_dir, where)
        env = dict(os.environ, PATH=f'{bin_dir}:{os.environ.get("PATH", "/usr/bin:/bin")}',
                   STRIPECTL_PORT=port, HOME=str(home), XDG_CONFIG_HOME=str(home / '.config'),
                   XDG_STATE_HOME=str(home / '.state'))
        try:
            shell = subprocess.Popen(['bash', '-euo', 'pipefail', '-c', commands(text)],
                                     cwd=where, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     text=True, start_new_session=True)
            try:
                output, _ = shell.communicate(timeout=60)
                return shell.returncode, output
            except subprocess.TimeoutExpired:
                os.killpg(shell.pid, signal.SIGKILL)
                output, _ = shell.communicate()
                return 'not done within 60 s', output
        finally:
            reader.terminate()
            reader.wait()


def main():
    source, bin_dir = Path(sys.argv[1]), Path(sys.argv[2]).resolve()
    only = sys.argv[3] if len(sys.argv) > 3 else None  # PAGE[:LINE], to try one
    problems, ran, marked = [], 0, 0
    for page in PAGES:
        path = source / page
        if not path.exists():
            continue
        for line, language, mark, text in blocks(path):
            if language not in SHELLS:
                continue
            where = f'{page}:{line}'
            if mark not in MARKS:
                problems.append(f'{where}: a shell block without a mark; write ```{language} '
                                f'runnable (run here against the simulated reader) or one of '
                                f'{", ".join(sorted(MARKS - {"runnable"}))}')
                continue
            marked += 1
            if mark != 'runnable' or (only and not where.startswith(only)):
                continue
            ran += 1
            status, output = run(bin_dir, text)
            if status != 0:
                shown = ''.join('      ' + l + '\n' for l in output.splitlines()[-30:])
                problems.append(f'{where}: the runnable block ended with status {status}:\n'
                                f'{shown}')
    if problems:
        print('Shell blocks of the docs:')
        for problem in problems:
            print('  ' + problem)
        return 1
    print(f'{marked} marked shell blocks; {ran} runnable ones ran against the simulated '
          f'reader and ended with 0')
    return 0


if __name__ == '__main__':
    sys.exit(main())
