# Debian roots for running the plugin against other Wireshark series, made
# with debootstrap from the Debian mirror this machine's apt is configured
# with. Sourced by scripts/test-debian.sh and scripts/test-package.sh (as
# root); not a command of its own.
#
# Every root lives under VALTOCRANE_HOSTS_DIR (default
# /var/tmp/valtocrane-hosts):
#   RELEASE         the test suite's root, with the host's development packages
#   RELEASE-clean   a bare minbase root, kept pristine and only ever copied
#   RELEASE-pkgtest a copy of RELEASE-clean for one package test, then deleted
# A root gets ROOT_MARK as soon as its folder is made and READY_MARK once it
# is complete. remove_root deletes only folders that carry one of them.
# Functions use "local" (dash and bash have it) so that one cannot change
# another's folder.

hosts_dir=${VALTOCRANE_HOSTS_DIR:-/var/tmp/valtocrane-hosts}
ROOT_MARK=.valtocrane-root
READY_MARK=.valtocrane-root-ready

die() {
    echo "$0: $*" >&2
    exit 1
}

# The main Debian archive among the sources apt reads here.
debian_mirror() {
    apt-get indextargets --format '$(REPO_URI)|$(RELEASE)|$(ORIGIN)|$(LABEL)|$(IDENTIFIER)' |
        awk -F'|' '$2 !~ /-/ && $3 == "Debian" && $4 == "Debian" && $5 == "Packages" \
                   { print $1; exit }'
}

# Mount points at or below a folder, deepest first.
mounts_below() {
    awk -v dir="$1" '$2 == dir || index($2, dir "/") == 1 { print $2 }' /proc/self/mounts |
        sort -r
}

# Deletes a root this project made. Refuses an empty path, / and any folder
# without one of the marks, whatever the caller's variables say; unmounts
# what an interrupted run left mounted inside, and never crosses into
# another file system.
remove_root() {
    local _real _m
    [ -n "${1:-}" ] || die "refusing to delete a root: empty path"
    [ -e "$1" ] || [ -L "$1" ] || return 0
    [ -d "$1" ] && [ ! -L "$1" ] || die "refusing to delete $1: not a folder"
    _real=$(realpath -e -- "$1") || die "refusing to delete $1: cannot resolve it"
    [ "$_real" != / ] || die "refusing to delete $1: it is /"
    [ -f "$_real/$ROOT_MARK" ] || [ -f "$_real/$READY_MARK" ] ||
        die "refusing to delete $1: it has no $ROOT_MARK, so this project did not make it"
    for _m in $(mounts_below "$_real"); do
        umount "$_m" || die "refusing to delete $1: cannot unmount $_m"
    done
    rm -rf --one-file-system -- "$_real"
}

# Makes a bare minbase root of RELEASE in DIR unless a complete one is there.
make_clean_root() {
    local _release="$1" _dir="$2" _mirror _script
    [ -f "$_dir/$READY_MARK" ] && return 0
    # Another run may be making it: wait for that, then look again.
    mkdir -p "$(dirname "$_dir")"
    exec 8>"$_dir.lock"
    flock 8
    if [ -f "$_dir/$READY_MARK" ]; then
        exec 8>&-
        return 0
    fi
    remove_root "$_dir"
    _mirror=$(debian_mirror)
    if [ -z "$_mirror" ]; then
        apt-get update -q >/dev/null
        _mirror=$(debian_mirror)
    fi
    [ -n "$_mirror" ] || die "no Debian archive among apt's sources"
    # A release newer than this machine's debootstrap (testing, say) is
    # made the way unstable is.
    _script=/usr/share/debootstrap/scripts/$_release
    [ -e "$_script" ] || _script=/usr/share/debootstrap/scripts/sid
    echo "Making a Debian $_release root in $_dir from $_mirror"
    mkdir "$_dir"
    touch "$_dir/$ROOT_MARK"
    debootstrap --variant=minbase "$_release" "$_dir" "$_mirror" "$_script" \
        >"$_dir.debootstrap.log" 2>&1 || {
        tail -20 "$_dir.debootstrap.log" >&2
        die "debootstrap of $_release failed (log: $_dir.debootstrap.log)"
    }
    case $_release in
    forky | testing | sid | unstable)
        # The mirror's release file of testing and unstable can be past its
        # Valid-Until date; apt in this root alone accepts it.
        echo 'Acquire::Check-Valid-Until "false";' \
            >"$_dir/etc/apt/apt.conf.d/99valtocrane-valid-until" ;;
    esac
    touch "$_dir/$READY_MARK"
    exec 8>&-
}

# Makes DIR a copy of the clean root of RELEASE, unless a complete root is
# there already.
make_root_from_clean() {
    local _release="$1" _dir="$2"
    [ -f "$_dir/$READY_MARK" ] && return 0
    make_clean_root "$_release" "$hosts_dir/$_release-clean"
    remove_root "$_dir"
    mkdir -p "$(dirname "$_dir")"
    cp -a --reflink=auto "$hosts_dir/$_release-clean" "$_dir"
}

# Copies the working tree as git sees it (tracked files and new ones not
# ignored) from SRC into DEST, which is made anew.
copy_source() {
    rm -rf -- "$2"
    mkdir -p "$2"
    (cd "$1" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
        xargs -0 cp --parents -t "$2")
}

# Where in a root the copy of the working tree SRC goes: one a checkout, so
# that checkouts do not overwrite each other's builds.
tree_in_root() {
    echo "/src/valtocrane-$(printf %s "$1" | cksum | cut -d' ' -f1)"
}

# Runs a command in ROOT with /proc mounted, this machine's terminals (for
# tests of what a program shows on a terminal) and its resolver.
in_root() {
    local _root="$1" _status _pts=""
    shift
    cp /etc/resolv.conf "$_root/etc/resolv.conf"
    mountpoint -q "$_root/proc" || mount -t proc proc "$_root/proc"
    if mountpoint -q /dev/pts && ! mountpoint -q "$_root/dev/pts"; then
        mount --bind /dev/pts "$_root/dev/pts" && _pts=1
    fi
    _status=0
    chroot "$_root" "$@" || _status=$?
    [ -z "$_pts" ] || umount "$_root/dev/pts"
    umount "$_root/proc"
    return $_status
}

# Holds an exclusive lock on a root for the rest of the script, so that two
# runs (two checkouts, say) do not use one root at once.
lock_root() {
    mkdir -p "$(dirname "$1")"
    exec 9>"$1.lock"
    flock 9
}
