#!/bin/sh
# Usage: no_build_paths.sh PATH... -- PACKAGE.deb...
# Fails when an installed file of the packages names one of the PATHs (the
# source tree, the build folder): a binary, --help text, a unit or a
# settings file must not point into the machine the packages were built on.
# The -dbgsym packages are not given: their debug information names the
# sources on purpose.
set -eu
paths=""
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    paths="$paths $1"
    shift
done
[ $# -gt 0 ] && shift
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for deb in "$@"; do
    dpkg-deb -x "$deb" "$tree"
done
failed=0
for path in $paths; do
    # The folder as a whole path of its own ("/work/x/" and not the end of
    # "/usr/include/x/" or a name that starts alike).
    pattern="(^|[^[:alnum:]_./-])$(printf '%s' "${path%/}" | sed 's/[][\\.*^$+?(){}|]/\\&/g')/"
    found=$(grep -rlaE -- "$pattern" "$tree" || true)
    if [ -n "$found" ]; then
        echo "installed files naming the build machine's $path:"
        echo "$found" | sed "s|^$tree||"
        failed=1
    fi
done
[ $failed = 0 ] && echo "no installed file names the build machine's folders"
exit $failed
