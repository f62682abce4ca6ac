#!/usr/bin/env bash
# Whole-process comparison: one start of the launcher against what a user could
# use instead and against the floors any launcher pays. Prints Markdown tables.
#   bash bench/compare.sh    (RUNS=50 ROUNDS=10 BIG_RUNS=3 BIG_ROUNDS=3 to change)
# Wall time on a shared machine is noisy: the contenders run in the same
# rounds, in turn, and the ratios between them are what counts; CPU time
# (user + system, the process and what it waited for) is steadier.
# The builds against a static QtCore (bench/static-qt.sh) join in when they
# exist, brought up to date first.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs="${RUNS:-50}"
rounds="${ROUNDS:-10}"
big_runs="${BIG_RUNS:-3}"
big_rounds="${BIG_ROUNDS:-3}"

"$root/tools/setup.sh"
need=(hyperfine time python3 sed coreutils)
missing=()
for package in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi
"$root/tools/build.sh" start qt_floor c_floor >/dev/null
statics=()
for build in build-static-qt build-static-qt-full; do
    if [ -x "$root/$build/start" ]; then
        cmake --build "$root/$build" --target start >"$root/$build/build.log" 2>&1 || {
            cat "$root/$build/build.log" >&2
            exit 1
        }
        statics+=("$build")
    fi
done

work="$(mktemp -d /tmp/velnorcompareXXXXXX)"
trap 'rm -rf "$work"' EXIT
typical="$root/bench/typical-VELNOR.INI"

# The typical file repeated up to the given number of MiB: every copy brings
# its entries along.
repeated() {
    local out="$1" target=$(($2 * 1024 * 1024))
    cp "$typical" "$out"
    while [ "$(stat -c %s "$out")" -lt "$target" ]; do
        cat "$out" "$out" >"$out.next"
        mv "$out.next" "$out"
    done
    truncate -s "$target" "$out"
}

# What a user might write instead: rewrite the entries with sed, start the program.
sed_script() {
    cat >"$1" <<'EOF'
#!/bin/sh
dir="${0%/*}"
LC_ALL=C sed -i "s|\(BIBOPATH[0-9][0-9]*=\).*\(BIBO\)|\1$dir/\2|" "$dir/VELNOR.INI"
"$dir/velnor.exe" &
EOF
    chmod +x "$1"
}

# A program folder: the contender as `program`, a main program that ends at
# once, and the settings file; `uptodate.ini` and `outofdate.ini` to restore it.
folder() {
    local name="$1" program="$2" settings="$3"
    mkdir -p "$work/$name"
    if [ "$program" = sed ]; then sed_script "$work/$name/program"; else cp "$program" "$work/$name/program"; fi
    cp /bin/true "$work/$name/velnor.exe"
    cp "$settings" "$work/$name/outofdate.ini"
    cp "$settings" "$work/$name/VELNOR.INI"
    # The file as the launcher leaves it in this folder, for the up-to-date runs.
    cp "$root/build/start" "$work/$name/rewrite"
    "$work/$name/rewrite"
    rm "$work/$name/rewrite"
    cp "$work/$name/VELNOR.INI" "$work/$name/uptodate.ini"
}

contenders=() # name|folder|restore (outofdate, uptodate, -)
add() { contenders+=("$1|$2|$3"); }

folder start "$root/build/start" "$typical"
add "launcher, up to date" start uptodate
add "launcher, needing a change" start outofdate
kind() { [ "$1" = build-static-qt-full ] && echo "static QtCore, fully static" || echo "static QtCore"; }
for build in "${statics[@]}"; do
    folder "$build" "$root/$build/start" "$typical"
    add "launcher on $(kind "$build"), up to date" "$build" uptodate
    add "launcher on $(kind "$build"), needing a change" "$build" outofdate
done
folder qt "$root/build/bench/qt_floor" "$typical"
add "minimal Qt 5 program (floor on Debian's Qt)" qt -
folder c "$root/build/bench/c_floor" "$typical"
add "plain C program (floor of any launcher)" c -
folder sed sed "$typical"
add "sed -i script, needing a change" sed outofdate

# One hyperfine run of every contender per round, in a rotated order; each run
# starts from the file the contender should find.
measure() {
    local tag="$1" rounds="$2" count="$3" warmup="$4"
    shift 4
    local list=("$@") n=${#list[@]}
    for ((round = 0; round < rounds; round++)); do
        local commands=() prepares=() names=()
        for ((i = 0; i < n; i++)); do
            IFS='|' read -r name dir restore <<<"${list[$(((i + round) % n))]}"
            names+=(-n "$name")
            commands+=("$work/$dir/program")
            if [ "$restore" = - ]; then
                prepares+=(-p true)
            else
                prepares+=(-p "cp $work/$dir/$restore.ini $work/$dir/VELNOR.INI")
            fi
        done
        hyperfine -N --style none -w "$warmup" -r "$count" "${prepares[@]}" "${names[@]}" \
            --export-json "$work/$tag-$round.json" "${commands[@]}" >/dev/null 2>&1
    done
}

# Every contender did its work on its last run: sed points the entries at its
# folder; a launcher leaves the file up to date, and a floor as it found it,
# which is up to date too.
verify() {
    local entry name dir restore
    for entry in "$@"; do
        IFS='|' read -r name dir restore <<<"$entry"
        case "$dir" in
        sed) grep -qF "BIBOPATH1=$work/sed/BIBO" "$work/sed/VELNOR.INI" ;;
        *) cmp -s "$work/$dir/uptodate.ini" "$work/$dir/VELNOR.INI" ;;
        esac || {
            echo "$name left a settings file it should not have" >&2
            exit 1
        }
    done
}

# Pools the rounds: median wall time over all runs, and the median of the
# rounds' mean CPU time per run (hyperfine gives CPU time only as a mean);
# each also as a multiple of the named reference contenders.
table() {
    python3 - "$work" "$1" "$2" "${@:3}" <<'EOF'
import json, statistics, sys
work, tag, rounds, refs = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
times, cpu = {}, {}
for r in range(rounds):
    for res in json.load(open(f"{work}/{tag}-{r}.json"))["results"]:
        if any(res["exit_codes"]):
            sys.exit(f"{res['command']} failed")
        name = res["command"]
        times.setdefault(name, []).extend(res["times"])
        cpu.setdefault(name, []).append(res["user"] + res["system"])
order = list(times)
wall = {n: statistics.median(times[n]) for n in order}
cpus = {n: statistics.median(cpu[n]) for n in order}
short = {r: r.split(" (")[0].split(",")[0] for r in refs}
head = "| | wall, median | CPU, median |" + "".join(f" wall ÷ {short[r]} | CPU ÷ {short[r]} |" for r in refs)
print(head)
print("|" + "---|" * (head.count("|") - 1))
for n in sorted(order, key=lambda n: cpus[n]):
    row = f"| {n} | {wall[n]*1e3:.2f} ms | {cpus[n]*1e3:.2f} ms |"
    row += "".join(f" {wall[n]/wall[r]:.2f} | {cpus[n]/cpus[r]:.2f} |" for r in refs)
    print(row)
EOF
}

echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "### One start, typical settings file ($(stat -c %s "$typical") bytes), $((runs * rounds)) runs each"
echo
measure typical "$rounds" "$runs" 5 "${contenders[@]}"
verify "${contenders[@]}"
table typical "$rounds" "minimal Qt 5 program (floor on Debian's Qt)" "plain C program (floor of any launcher)" \
    "sed -i script, needing a change"

# The 100 MB file: the launcher's rewrite against sed's, per byte.
repeated "$work/big.ini" 100
folder bigstart "$root/build/start" "$work/big.ini"
folder bigsed sed "$work/big.ini"
echo
echo "### Rewrite of a 100 MiB settings file, $((big_runs * big_rounds)) runs each"
echo
measure big "$big_rounds" "$big_runs" 1 "launcher, needing a change|bigstart|outofdate" "launcher, up to date|bigstart|uptodate" \
    "sed -i script, needing a change|bigsed|outofdate"
table big "$big_rounds" "sed -i script, needing a change"
rm -rf "$work/bigstart" "$work/bigsed"

# Peak memory: the largest resident set of the process (and of what it waited for).
echo
echo "### Peak memory (maximum resident set)"
echo
header="| settings file | launcher, needing a change | launcher, up to date |"
for build in "${statics[@]}"; do
    header+=" launcher on $(kind "$build"), needing a change |"
done
header+=" sed -i script |"
echo "$header"
echo "|$(printf -- '---|%.0s' $(seq $((${#statics[@]} + 4))))"
# The largest resident set of the process and of what it waited for, in MiB.
peak() { /usr/bin/time -f %M "$1" 2>&1 >/dev/null | tail -n1 | awk '{ printf "%.1f MiB", $1 / 1024 }'; }
for size in 1 10 100; do
    repeated "$work/mem.ini" "$size"
    row="| $size MiB |"
    for build in build "${statics[@]}"; do
        program="$root/$build/start"
        folder mem "$program" "$work/mem.ini"
        cp "$work/mem/outofdate.ini" "$work/mem/VELNOR.INI"
        row+=" $(peak "$work/mem/program") |"
        cmp -s "$work/mem/uptodate.ini" "$work/mem/VELNOR.INI" || {
            echo "$program did not rewrite the $size MiB file" >&2
            exit 1
        }
        # Up to date now; the other launcher builds only say what a change costs them.
        [ "$build" = build ] && row+=" $(peak "$work/mem/program") |"
        rm -rf "$work/mem"
    done
    folder memsed sed "$work/mem.ini"
    row+=" $(peak "$work/memsed/program") |"
    echo "$row"
    rm -rf "$work/memsed" "$work/mem.ini"
done

# An up-to-date file must not be touched: no write (same bytes, modification
# and change time, same inode) and no file made or removed beside it (the
# folder's own times stay).
echo
echo "### Up-to-date settings file"
echo
state() { stat -c '%i %y %z' "$1/VELNOR.INI"; sha256sum <"$1/VELNOR.INI"; stat -c '%y %z' "$1"; ls -A "$1"; }
for dir in start "${statics[@]}"; do
    cp "$work/$dir/uptodate.ini" "$work/$dir/VELNOR.INI"
    sleep 0.05
    before="$(state "$work/$dir")"
    "$work/$dir/program"
    sleep 0.05
    after="$(state "$work/$dir")"
    [ "$before" = "$after" ] && verdict="not written (same bytes, inode and times; no file made beside it)" \
        || verdict="WRITTEN or touched"
    echo "- \`${dir/start/build}/start\`, up-to-date typical file: $verdict."
done
