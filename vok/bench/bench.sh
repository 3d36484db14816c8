#!/usr/bin/env bash
# Throughput of vok on one large generated RealMedia file, next to cat and an
# ffmpeg remux of the same file. Prints Markdown for a README; reports figures
# only, judges nothing.
#
#   vok/bench/bench.sh VOK_BINARY [--size BYTES]     (default size 1 GiB)
#
# The big files go to $TMPDIR if set, else to a folder inside the repository's
# build/ (a real disk, unlike a tmpfs /tmp) and are removed at exit.
set -u -o pipefail

usage() { echo "usage: $0 VOK_BINARY [--size BYTES]" >&2; exit 2; }

VOK=""
SIZE=1073741824
while [ $# -gt 0 ]; do
    case "$1" in
        --size) [ $# -ge 2 ] || usage; SIZE=$2; shift 2 ;;
        --size=*) SIZE=${1#--size=}; shift ;;
        -h|--help) usage ;;
        *) [ -z "$VOK" ] || usage; VOK=$1; shift ;;
    esac
done
[ -n "$VOK" ] || usage
if [ ! -x "$VOK" ]; then echo "bench: not an executable: $VOK" >&2; exit 2; fi
VOK=$(cd "$(dirname "$VOK")" && pwd)/$(basename "$VOK")

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)

# --- tools this script needs (a fresh machine may lack them) ---------------
apt_install() {
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "bench: please install: $*" >&2; return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y --no-install-recommends "$@" >/dev/null 2>&1 ||
        { apt-get update >/dev/null 2>&1 &&
          apt-get install -y --no-install-recommends "$@" >/dev/null 2>&1; }
}
[ -x /usr/bin/time ] || apt_install time || exit 1
command -v ffmpeg >/dev/null || apt_install ffmpeg || exit 1
command -v python3 >/dev/null || apt_install python3 || exit 1

# --- work folder on a real disk ---------------------------------------------
if [ -n "${TMPDIR:-}" ]; then PARENT=$TMPDIR; else PARENT=$ROOT/build; fi
mkdir -p "$PARENT" || exit 1
W=$(mktemp -d "$PARENT/vok-bench.XXXXXX") || exit 1
cleanup() { rm -rf "$W"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
FSTYPE=$(stat -f -c %T "$W")
if [ "$FSTYPE" = tmpfs ]; then
    echo "bench: warning: $W is on tmpfs; figures will not reflect a disk" >&2
fi

relpath() { case "$1" in "$ROOT"/*) echo "${1#"$ROOT"/}" ;; *) echo "$1" ;; esac; }
mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1e6 }'; }

# --- machine -----------------------------------------------------------------
CPU=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
RAM=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
echo "## vok benchmark"
echo
echo "- machine: $(nproc) CPUs, ${CPU:-unknown CPU}, $RAM RAM, Linux $(uname -r); load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- vok: \`$(relpath "$VOK")\`; $(ffmpeg -version | head -n1 | cut -d' ' -f1-3)"
echo "- work folder filesystem: $FSTYPE"

# --- the big file --------------------------------------------------------------
BIG=$W/big.rm
t0=$(date +%s%N)
GEN=$(python3 "$HERE/gen_big.py" "$BIG" --size "$SIZE") || { echo "bench: generation failed" >&2; exit 1; }
t1=$(date +%s%N)
BYTES=$(stat -c %s "$BIG")
STRUCT=$(python3 "$HERE/gen_big.py" --verify "$BIG")
DUR=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$BIG")
DEC=$(ffmpeg -nostdin -v error -i "$BIG" -t 5 -f null - 2>&1 | wc -l)
echo "- file: $BYTES bytes, ${GEN#*bytes, }"
echo "  generated in $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", (b - a) / 1e9 }') s; $STRUCT;"
echo "  ffprobe duration $DUR s; decode of the first 5 s: $DEC error lines"

# Flush the new file so write-back does not overlap a timed run; then warm the
# page cache once. Nothing is dropped, so every run reads from memory.
sync "$BIG"
cat "$BIG" > /dev/null

# measure LABEL STDOUT_FILE CMD... : records seconds, peak RSS, exit, first output line.
declare -a L_LABEL L_SEC L_RSS L_RC L_OUT L_BYTES
measure() {
    local label=$1 out=$2; shift 2
    local in_bytes=$BYTES t0 t1 rc
    t0=$(date +%s%N)
    /usr/bin/time -f %M -o "$W/rss" "$@" > "$out" 2> "$W/err"
    rc=$?
    t1=$(date +%s%N)
    L_LABEL+=("$label")
    L_SEC+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')")
    L_RSS+=("$(tail -n1 "$W/rss")")
    L_RC+=("$rc")
    L_BYTES+=("$in_bytes")
    local line=""
    [ "$out" != /dev/null ] && line=$(head -n1 "$out")
    [ -n "$line" ] || line=$(head -n1 "$W/err")
    line=${line//"$W/"/}  # the temp folder is of no interest in a README
    L_OUT+=("${line//|/\\|}")
}
NOTES=()

measure "\`cat FILE > /dev/null\`" /dev/null cat "$BIG"
measure "\`vok --check FILE\`" "$W/out" "$VOK" --check "$BIG"

before=$(stat -c '%s %Y %i' "$BIG")
measure "\`vok -f FILE\` (sound file: scan only)" "$W/out" "$VOK" -f "$BIG"
after=$(stat -c '%s %Y %i' "$BIG")
if [ "$before" = "$after" ] && ! ls "$BIG".bak* >/dev/null 2>&1; then
    NOTES+=("\`vok -f\` on the sound file left it untouched (same size, mtime, inode; no backup).")
else
    NOTES+=("\`vok -f\` on the sound file changed it or made a backup (size/mtime/inode before: $before, after: $after).")
    rm -f "$BIG".bak*
fi

# A damaged copy: 64 KiB of zeros at 40 %, so -f has to rewrite the whole file.
DMG=$W/damaged.rm
cp --reflink=auto "$BIG" "$DMG"
dd if=/dev/zero of="$DMG" bs=65536 count=1 seek=$((BYTES * 40 / 100)) oflag=seek_bytes conv=notrunc status=none
sync "$DMG"  # else the repair's flush would also pay for writing the copy
measure "\`vok -f COPY\` (64 KiB zeroed at 40 %: rewrite)" "$W/out" "$VOK" -f "$DMG"
if [ -f "$DMG" ]; then
    NOTES+=("repaired copy: $(stat -c %s "$DMG") bytes; $(python3 "$HERE/gen_big.py" --verify "$DMG")")
fi
rm -f "$DMG" "$DMG".bak*

IDX=$W/index.rm
cp --reflink=auto "$BIG" "$IDX"
sync "$IDX"
measure "\`vok -i COPY\`" "$W/out" "$VOK" -i "$IDX"
if [ "${L_RC[-1]}" = 2 ]; then
    echo
    echo "-i: not available"
    L_OUT[-1]="not available (usage error)"
fi
rm -f "$IDX"

measure "\`ffmpeg -v error -i FILE -c copy OUT.rm\`" "$W/out" ffmpeg -nostdin -v error -i "$BIG" -c copy "$W/remux.rm"
REMUX=${L_SEC[-1]}
rm -f "$W/remux.rm"

# --- table ---------------------------------------------------------------------
CAT=${L_SEC[0]}
echo
echo "Page cache warmed with one \`cat\` first, nothing dropped; copies flushed to disk before their run; all runs on the same $(mb "$BYTES") MB file in one session (MB = 10^6 bytes)."
echo
echo "| run | seconds | MB/s | throughput ÷ cat | remux time ÷ this | peak RSS (MiB) | exit | output |"
echo "|---|---:|---:|---:|---:|---:|---:|---|"
for i in "${!L_LABEL[@]}"; do
    O=${L_OUT[$i]} awk -v l="${L_LABEL[$i]}" -v s="${L_SEC[$i]}" -v b="${L_BYTES[$i]}" -v c="$CAT" \
        -v r="$REMUX" -v m="${L_RSS[$i]}" -v rc="${L_RC[$i]}" -v i="$i" \
        -v vok="$([[ ${L_LABEL[$i]} == *vok* ]] && echo 1 || echo 0)" '
    function q(x) { return x > 0 ? x : 0.001 }
    BEGIN {
        ratio = i == 0 ? "1.00" : sprintf("%.2f", q(c) / q(s))
        rem = vok ? sprintf("%.2f", q(r) / q(s)) : "—"
        rss = m ~ /^[0-9]+$/ ? sprintf("%.1f", m / 1024) : "?"
        printf "| %s | %.3f | %.0f | %s | %s | %s | %s | %s |\n", l, s, b / 1e6 / q(s), ratio, rem, rss, rc, ENVIRON["O"]
    }'
done
echo
for n in "${NOTES[@]}"; do echo "- $n"; done

# --- Windows executables -------------------------------------------------------
imports() {
    local od
    for od in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump; do
        command -v "$od" >/dev/null || continue
        "$od" -p "$1" 2>/dev/null | awk '/DLL Name:/ { print $3 }' | paste -sd, - | sed 's/,/, /g' && return
    done
    echo "(no mingw objdump)"
}
echo
echo "| Windows executable | bytes | imported DLLs |"
echo "|---|---:|---|"
for exe in build/windows/vokxp.exe build/windows/vok/vok.exe; do
    if [ -f "$ROOT/$exe" ]; then
        if ! command -v i686-w64-mingw32-objdump >/dev/null && ! command -v x86_64-w64-mingw32-objdump >/dev/null; then
            apt_install binutils-mingw-w64-i686 || true
        fi
        echo "| \`$exe\` | $(stat -c %s "$ROOT/$exe") | $(imports "$ROOT/$exe") |"
    else
        echo "| \`$exe\` | not built | |"
    fi
done
