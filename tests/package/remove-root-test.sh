#!/bin/sh
# remove_root (scripts/debian-roots.sh) deletes, as root, only a folder
# this project made: never an empty path, /, a folder without the mark, or
# what a link points to, whatever the caller passes. Prints
# "N passed, N failed".
set -eu
cd "$(dirname "$0")/../.."
. scripts/debian-roots.sh
scratch=$(mktemp -d)
trap 'command rm -rf "$scratch"' EXIT
passes=0 failures=0

# Should the guard ever break, nothing outside the scratch folder is touched:
# rm and umount stand in for the real ones, and write down what would have
# been deleted or unmounted instead.
rm() {
    for _last; do :; done
    case $_last in
    "$scratch"/?*) command rm "$@" ;;
    *) echo "rm $*" >>"$scratch/attempts" ;;
    esac
}
umount() {
    echo "umount $*" >>"$scratch/attempts"
}

# name, path, whether remove_root must delete it
check() {
    : >"$scratch/attempts"
    if (remove_root "$2") >"$scratch/out" 2>&1; then deleted=yes; else deleted=no; fi
    [ -s "$scratch/attempts" ] && deleted="attempted: $(cat "$scratch/attempts")"
    if [ "$deleted" = "$3" ]; then
        passes=$((passes + 1))
    else
        failures=$((failures + 1))
        echo "FAILED: $1: remove_root $2 (deleted: $deleted)"
        cat "$scratch/out"
    fi
}

mkdir -p "$scratch/unmarked/etc" "$scratch/marked/etc" "$scratch/ready/etc" "$scratch/victim"
touch "$scratch/unmarked/etc/passwd" "$scratch/victim/keep" \
      "$scratch/marked/$ROOT_MARK" "$scratch/ready/$READY_MARK"
ln -s "$scratch/marked" "$scratch/link"
touch "$scratch/victim/$ROOT_MARK"
ln -s "$scratch/victim" "$scratch/victim-link"

check "empty path" "" no
check "/" / no
check "/ in disguise" /tmp/.. no
check "a folder without the mark" "$scratch/unmarked" no
check "a link to a marked folder" "$scratch/victim-link" no
check "a marked folder" "$scratch/marked" yes
check "a complete root" "$scratch/ready" yes
check "a path that is not there" "$scratch/absent" yes

for kept in unmarked/etc/passwd victim/keep; do
    if [ -e "$scratch/$kept" ]; then passes=$((passes + 1)); else
        failures=$((failures + 1)); echo "FAILED: $kept was deleted"; fi
done
for gone in marked ready; do
    if [ ! -e "$scratch/$gone" ]; then passes=$((passes + 1)); else
        failures=$((failures + 1)); echo "FAILED: $gone is still there"; fi
done
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
