#!/usr/bin/env bash
# Throughput of vok on one large generated RealMedia file, next to cat and an
# ffmpeg remux of the same file. Prints Markdown for a README; reports figures
# only, judges nothing.
#
#   vok/bench/bench.sh VOK_BINARY [--size BYTES]     (default size 256 MiB)
#
# The big files go to $TMPDIR if set, else to a folder inside the repository's
# build/ (a real disk, unlike a tmpfs /tmp) and are removed at exit.
set -u -o pipefail

usage() { echo "usage: $0 VOK_BINARY [--size BYTES]" >&2; exit 2; }

VOK=""
SIZE=268435456
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

# measure LABEL PREPARE CMD... : the best of $ROUNDS runs (PREPARE, a shell
# command, runs before each), the largest peak RSS, the exit code and the
# first line of output.
ROUNDS=3
declare -a L_LABEL L_SEC L_RSS L_RC L_OUT
measure() {
    local label=$1 prep=$2; shift 2
    local best="" rss=0 rc=0 t0 t1 s m i
    for i in $(seq "$ROUNDS"); do
        eval "$prep"
        t0=$(date +%s%N)
        /usr/bin/time -f %M -o "$W/rss" "$@" > "$W/out" 2> "$W/err"
        rc=$?
        t1=$(date +%s%N)
        s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
        if [ -z "$best" ] || awk -v x="$s" -v y="$best" 'BEGIN { exit !(x < y) }'; then best=$s; fi
        m=$(tail -n1 "$W/rss"); [[ $m =~ ^[0-9]+$ ]] && [ "$m" -gt "$rss" ] && rss=$m
    done
    local line
    line=$(head -n1 "$W/out"); [ -n "$line" ] || line=$(head -n1 "$W/err")
    line=${line//"$W/"/}  # the temp folder is of no interest in a README
    L_LABEL+=("$label"); L_SEC+=("$best"); L_RSS+=("$rss"); L_RC+=("$rc"); L_OUT+=("${line//|/\\|}")
}
NOTES=()

# Damaged copies, as downloads leave them: half of the 256 KiB pieces
# zero-filled (a torrent stopped half-way), 30 % of them random bytes, and
# one 64 KiB hole at 40 %.
ZERO=$W/zero50.rm RANDOM_=$W/random30.rm HOLE=$W/hole.rm
python3 "$HERE/gen_big.py" "$ZERO" --damage zero --of "$BIG" --fraction 0.5 >/dev/null
python3 "$HERE/gen_big.py" "$RANDOM_" --damage random --of "$BIG" --fraction 0.3 >/dev/null
cp "$BIG" "$HOLE"
dd if=/dev/zero of="$HOLE" bs=65536 count=1 seek=$((BYTES * 40 / 100)) oflag=seek_bytes conv=notrunc status=none
sync "$ZERO" "$RANDOM_" "$HOLE"
cat "$ZERO" "$RANDOM_" "$HOLE" > /dev/null
COPY=$W/copy.rm
# A fresh copy of $1 to repair, flushed (else the repair would pay for writing it).
fresh() { rm -f "$COPY" "$COPY".bak*; cp --reflink=auto "$1" "$COPY"; sync "$COPY"; }

measure "\`cat FILE > /dev/null\`" "" sh -c "cat '$BIG' > /dev/null"
measure "\`cp FILE COPY && sync COPY\`" "rm -f $COPY" sh -c "cp '$BIG' '$COPY' && sync '$COPY'"
measure "\`vok --check FILE\`" "" "$VOK" --check "$BIG"
measure "\`vok --check\` 50 % of pieces zero-filled" "" "$VOK" --check "$ZERO"
measure "\`vok --check\` 30 % of pieces random" "" "$VOK" --check "$RANDOM_"

before=$(stat -c '%s %Y %i' "$BIG")
measure "\`vok -f FILE\` (sound file: scan only)" "" "$VOK" -f "$BIG"
after=$(stat -c '%s %Y %i' "$BIG")
if [ "$before" = "$after" ] && ! ls "$BIG".bak* >/dev/null 2>&1; then
    NOTES+=("\`vok -f\` on the sound file left it untouched (same size, mtime, inode; no backup).")
else
    NOTES+=("\`vok -f\` on the sound file changed it or made a backup (size/mtime/inode before: $before, after: $after).")
    rm -f "$BIG".bak*
fi
measure "\`vok -f\` one 64 KiB hole (whole file rewritten, flushed)" "fresh $HOLE" "$VOK" -f "$COPY"
NOTES+=("repaired hole copy: $(stat -c %s "$COPY") bytes; $(python3 "$HERE/gen_big.py" --verify "$COPY")")
measure "\`vok -f\` 50 % zero-filled (half the bytes rewritten)" "fresh $ZERO" "$VOK" -f "$COPY"
NOTES+=("repaired zero-filled copy: $(stat -c %s "$COPY") bytes; $(python3 "$HERE/gen_big.py" --verify "$COPY")")
measure "\`vok -i COPY\`" "fresh $BIG" "$VOK" -i "$COPY"
rm -f "$COPY" "$COPY".bak*
measure "\`ffmpeg -v error -i FILE -c copy OUT.rm\`" "rm -f $W/remux.rm" ffmpeg -nostdin -v error -y -i "$BIG" -c copy "$W/remux.rm"
rm -f "$W/remux.rm"

# --- table ---------------------------------------------------------------------
CAT=${L_SEC[0]}
CP=${L_SEC[1]}
echo
echo "Page cache warmed first, nothing dropped; each run the best of $ROUNDS, a repair's copy made and flushed before it; all on the same $(mb "$BYTES") MB file in one session (MB = 10^6 bytes)."
echo
echo "| run | seconds | × cat | × cp + sync | peak RSS (MiB) | exit | output |"
echo "|---|---:|---:|---:|---:|---:|---|"
for i in "${!L_LABEL[@]}"; do
    O=${L_OUT[$i]} awk -v l="${L_LABEL[$i]}" -v s="${L_SEC[$i]}" -v c="$CAT" -v p="$CP" \
        -v m="${L_RSS[$i]}" -v rc="${L_RC[$i]}" '
    function q(x) { return x > 0 ? x : 0.001 }
    BEGIN {
        rss = m ~ /^[0-9]+$/ ? sprintf("%.1f", m / 1024) : "?"
        printf "| %s | %.3f | %.2f | %.2f | %s | %s | %s |\n", l, s, q(s) / q(c), q(s) / q(p), rss, rc, ENVIRON["O"]
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
