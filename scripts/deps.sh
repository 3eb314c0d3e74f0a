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
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What every build of the project needs.
BUILD_PACKAGES=(build-essential cmake pkg-config binutils file
                libgtest-dev libgmock-dev qtbase5-dev qtbase5-dev-tools
                nlohmann-json3-dev libudev-dev umockdev)
