"""The client's declarations compiled as a TypeScript page would: example.ts
under tsconfig.json, which must be the tsconfig.json docs/service.md gives
integrators (so that the one the guide shows is the one proven here).

Usage: check_types.py TSC SOURCE_DIR
"""
import json
import pathlib
import re
import subprocess
import sys


def docs_tsconfig(guide):
    # The guide prints it inline, wrapped over lines, between backticks
    # after "a `tsconfig.json` that passes".
    found = re.search(r"a `tsconfig\.json` that passes.*?`(\{.*?\}\})`", guide, re.S)
    if not found:
        sys.exit("docs/service.md: no tsconfig.json shown after "
                 "\"a `tsconfig.json` that passes\"; show it, or change this check")
    return json.loads(found.group(1).replace("\n", " "))


def main():
    tsc, source = sys.argv[1], pathlib.Path(sys.argv[2])
    tests = source / "clients" / "js" / "tests"
    proven = json.loads((tests / "tsconfig.json").read_text())
    shown = docs_tsconfig((source / "docs" / "service.md").read_text())
    if proven != shown:
        sys.exit("clients/js/tests/tsconfig.json differs from the one docs/service.md "
                 f"shows:\n  tests: {json.dumps(proven)}\n  docs:  {json.dumps(shown)}\n"
                 "make them the same")
    return subprocess.run([tsc, "-p", str(tests / "tsconfig.json")]).returncode


if __name__ == "__main__":
    sys.exit(main())
