# Sourced by the project's scripts: makes sure Debian packages are installed.
#
#   need_packages pkg...   installs the missing ones with apt-get when run as
#                          root; otherwise prints the apt-get line and exits.

need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    # Downloads fail now and then: three tries before giving up.
    local try
    for try in 1 2 3; do
        apt-get update -qq &&
            apt-get install -y -qq --no-install-recommends "${missing[@]}" && return 0
        echo "apt-get failed (try $try of 3)" >&2
        sleep $((try * 10))
    done
    return 1
}

# What every build of the project needs (the last line: the browser test of
# the reader service's demo page).
BUILD_PACKAGES=(build-essential cmake pkg-config binutils file
                libgtest-dev libgmock-dev qtbase5-dev qtbase5-dev-tools
                nlohmann-json3-dev libudev-dev umockdev libboost-dev libcli11-dev
                chromium chromium-driver python3-selenium)

# What the Debian package stage needs: the package build, lintian,
# autopkgtest, and what the packages and their tests need installed (so that
# installing and purging them moves only their own files).
DEB_PACKAGES=(debhelper dpkg-dev lintian autopkgtest
              udev umockdev pkgconf fonts-wqy-microhei)
