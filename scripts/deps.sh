# Sourced by the project's scripts: makes sure Debian packages are installed.
#
#   need_packages pkg...   installs the missing ones with apt-get when run as
#                          root; otherwise prints the apt-get line and exits.
#                          A name may carry an architecture (qtbase5-dev:arm64).
#   need_architecture A    lets dpkg install packages of architecture A
#                          (multiarch), for a cross build.
#   clang_runtime_package  names the package with the sanitizer and fuzzer
#                          runtimes of the installed clang.
#   retry command...       runs a download again, after a pause, when it fails.

retry() {
    local try=1
    until "$@"; do
        if [ $try -ge 4 ]; then
            echo "failed $try times: $*" >&2
            return 1
        fi
        echo "failed (try $try), again in $((try * 15)) s: $*" >&2
        sleep $((try * 15))
        try=$((try + 1))
    done
}

as_root_or_say() { # as_root_or_say WHAT: stops with the line to run unless root
    [ "$(id -u)" -eq 0 ] && return 0
    echo "Missing $1. As root, run:" >&2
    echo "  $2" >&2
    exit 1
}

apt_updated=0
apt_update() {
    [ $apt_updated -eq 1 ] && return 0
    retry apt-get -o DPkg::Lock::Timeout=300 update -qq && apt_updated=1
}

# Whether package P is installed: for a name without an architecture, the
# machine's own (or "all"), since a package that is not multi-arch may be
# there for another architecture only (prometheus-cpp-dev after the arm64
# stage).
installed() {
    case $1 in
        *:*) dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$' ;;
        *) dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
               grep -qE "^install ok installed ($(dpkg --print-architecture)|all)\$" ;;
    esac
}

need_packages() {
    local missing=() p
    for p in "$@"; do
        installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    as_root_or_say "Debian packages" "apt-get install -y ${missing[*]}"
    echo "Installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt_update
    # Another apt on the machine (an unattended upgrade) holds the lock for a
    # while: wait for it rather than fail.
    retry apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}"
}

need_architecture() {
    [ "$(dpkg --print-architecture)" = "$1" ] && return 0
    dpkg --print-foreign-architectures | grep -qx "$1" && return 0
    as_root_or_say "the $1 architecture" "dpkg --add-architecture $1 && apt-get update"
    dpkg --add-architecture "$1"
    apt_updated=0
}

# Debian 12 ships clang 14 with libclang-rt-14-dev, Debian 13 clang 19 with
# libclang-rt-19-dev, Ubuntu 24.04 clang 18; Ubuntu 22.04's clang 14 keeps
# its runtimes in libclang-common-14-dev. Needs clang installed.
clang_runtime_package() {
    local major
    major=$(clang -dumpversion | cut -d. -f1)
    if dpkg-query -W -f='${Status}' "libclang-rt-$major-dev" 2>/dev/null | grep -q 'install ok installed'; then
        echo "libclang-rt-$major-dev"
        return 0
    fi
    [ "$(id -u)" -eq 0 ] && apt_update >&2
    if apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
        echo "libclang-rt-$major-dev"
    else
        echo "libclang-common-$major-dev"
    fi
}

# The packages named by debian/control's Build-Depends, one a line: the one
# list of what building the project and running its tests needs. Versions,
# architectures and build profiles are dropped, of alternatives the first
# is taken, and debhelper-compat is left out (only the package build uses it).
control_build_depends() {
    local control
    control="$(dirname "${BASH_SOURCE[0]}")/../debian/control"
    awk '/^Build-Depends:/ { sub(/^Build-Depends:/, ""); on = 1 }
         on && /^[^ \t]/ && !/^Build-Depends:/ { exit }
         on { print }' "$control" |
        tr ',' '\n' | sed -e 's/|.*//' -e 's/([^)]*)//g' -e 's/<[^>]*>//g' -e 's/\[[^]]*\]//g' |
        awk 'NF && $1 != "debhelper-compat" { print ($1 == "dh-sequence-python3" ? "dh-python" : $1) }'
}

# What every build of the project needs: a compiler and the build
# dependencies.
mapfile -t BUILD_PACKAGES < <(control_build_depends)
BUILD_PACKAGES=(build-essential "${BUILD_PACKAGES[@]}")

# The browser test of the reader service's demo page (openssl makes its
# https site's certificate) and the JavaScript client's tests (node with
# node-ws, tsc), run in the native normal stage (a build without chromium
# leaves the browser test out; without node or tsc theirs are skipped).
BROWSER_PACKAGES=(chromium chromium-driver python3-selenium openssl
                  nodejs node-ws node-typescript)

# promtool, which checks and unit-tests the alert rules
# (packaging/prometheus), in the normal stage.
CHECK_PACKAGES=(prometheus)

# What the Debian package stage needs: the package build, lintian,
# autopkgtest, and what the packages and their tests need installed (so that
# installing and purging them moves only their own files).
DEB_PACKAGES=(debhelper dpkg-dev dh-python lintian autopkgtest git
              udev umockdev pkgconf fonts-wqy-microhei
              nodejs node-ws node-typescript)
# scripts/busy-test: the tests again with the processors kept busy.
BUSY_PACKAGES=(stress-ng)
# The console with Qt 6 instead (SD_QT=6).
QT6_PACKAGES=(qt6-base-dev qt6-base-dev-tools libgl-dev)
# The arm64 cross build and its tests under user-mode emulation.
# prometheus-cpp-dev is not multi-arch: its arm64 package takes the place of
# the amd64 one, which the other stages install again when they run.
ARM64_PACKAGES=(crossbuild-essential-arm64 qemu-user-static debhelper dpkg-dev
                libgtest-dev:arm64 libgmock-dev:arm64 qtbase5-dev:arm64
                libudev-dev:arm64 pkgconf:arm64 libboost-dev:arm64
                libsystemd-dev:arm64 prometheus-cpp-dev:arm64)
