# scripts/test trixie: the normal and qt6 stages of this very tree inside a
# Debian 13 chroot made with debootstrap (kept in $builds/chroot/trixie,
# made anew once a week). The tree is bound at /src and the build folder at
# /builds; the chroot's builds go to $builds/trixie.

chroot_mounts=()

# Whether anything is mounted at or below the folder: such a tree is never
# deleted (rm would go through a bind mount into the real /dev or source).
mounted_below() {
    awk -v d="$1" '$2 == d || index($2, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mounts
}

# A fresh minimal Debian 13 in CHROOT, unless the one there was made less
# than a week ago.
make_chroot() { # make_chroot CHROOT
    local chroot_dir=$1
    local stamp=$chroot_dir.made
    if [ -d "$chroot_dir" ] && [ -n "$(find "$stamp" -mtime -7 2>/dev/null)" ]; then
        return 0
    fi
    local new=$chroot_dir.new dir
    for dir in "$chroot_dir" "$new"; do
        if mounted_below "$dir"; then
            echo "scripts/test: something is still mounted below $dir; not replacing it" >&2
            return 1
        fi
    done
    echo "=== debootstrap: Debian 13 (trixie) in $chroot_dir ==="
    mkdir -p "$(dirname "$chroot_dir")"
    fresh_debootstrap() {
        rm -rf "$new"
        debootstrap --variant=minbase trixie "$new" "${SD_DEBIAN_MIRROR:-http://deb.debian.org/debian}" \
            >"$chroot_dir.log" 2>&1 || { tail -5 "$chroot_dir.log" >&2; return 1; }
    }
    retry fresh_debootstrap
    rm -rf "$chroot_dir" "$stamp"
    mv "$new" "$chroot_dir"
    date -u >"$stamp"
}

chroot_mount() { # chroot_mount MOUNT-ARGS... TARGET
    mount "$@"
    chroot_mounts=("${!#}" ${chroot_mounts[@]+"${chroot_mounts[@]}"})
}

chroot_unmount() {
    local m
    for m in ${chroot_mounts[@]+"${chroot_mounts[@]}"}; do
        umount "$m" 2>/dev/null || umount -l "$m" || echo "scripts/test: could not unmount $m" >&2
    done
    chroot_mounts=()
}

stage_trixie() {
    as_root_or_say "a Debian 13 chroot (debootstrap, mount and chroot need root)" \
        "sudo scripts/test trixie"
    need_packages debootstrap
    mkdir -p "$builds"
    local build_dir chroot_dir
    build_dir=$(cd "$builds" && pwd)
    chroot_dir=$build_dir/chroot/trixie
    make_chroot "$chroot_dir"
    mkdir -p "$chroot_dir/src" "$chroot_dir/builds"
    cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
    trap chroot_unmount EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    # The chroot's root a mount point of its own, so that a test inside can
    # make a private mount namespace (unshare --propagation private, as the
    # udev rule's package test does).
    chroot_mount --bind "$chroot_dir" "$chroot_dir"
    chroot_mount -t proc proc "$chroot_dir/proc"
    chroot_mount --bind /dev "$chroot_dir/dev"
    chroot_mount --bind /dev/pts "$chroot_dir/dev/pts"
    chroot_mount --bind "$PWD" "$chroot_dir/src"
    chroot_mount --bind "$build_dir" "$chroot_dir/builds"
    # The package build runs the whole suite there (dh_auto_test, as a
    # Debian build machine runs it), so the deb stage takes the place of a
    # normal stage of its own and the suite runs once in the chroot.
    echo "=== Debian 13 chroot: deb (with the suite), qt6 ==="
    chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root SD_NO_BROWSER=1 \
        LANG=C.UTF-8 CI="${CI:-}" SD_BUILD_ROOT=/builds/trixie SD_DEB_CHECK=1 \
        bash /src/scripts/test deb qt6
    chroot_unmount
    trap - EXIT INT TERM
}
