#!/usr/bin/env python3
"""Measures whole starts of the Windows launcher under Wine against plain
Win32 programs that do the least a launcher must (bench/win_floor.c), in
paired runs: every round starts each contender once, in a shuffled order, and
the ratios are taken within the round. Reports the medians of those ratios
(CPU: user and system time of the started process, from wait4; wall), the
DLLs a normal start loads and each launcher's size.

    wine_start.py --floor FLOOR --late-floor FLOOR --plain-floor FLOOR --standin VELNOR --settings INI
                  [--rounds N] NAME=START_EXE...

WINEPREFIX (a prefix of the benchmark's own) and the rest of Wine's
environment come from the caller."""

import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import tempfile
import time

WINE_ENV = dict(os.environ, WINEARCH="win32", WINEDEBUG="-all", LANG="ru_RU.UTF-8", LC_ALL="ru_RU.UTF-8")
WINE_ENV.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
WINE_ENV.pop("DISPLAY", None)
WINE = shutil.which("wine")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start(exe, env=WINE_ENV):
    """One start: (CPU seconds, wall seconds, exit status)."""
    began = time.perf_counter()
    pid = os.posix_spawn(WINE, ["wine", exe], env)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - began
    return usage.ru_utime + usage.ru_stime, wall, os.waitstatus_to_exitcode(status)


def loaded_dlls(exe):
    """The DLLs the program's own process loads, in order, and how many of
    them it had loaded when it asked for velnor.exe's process (Wine's loaddll
    and process channels)."""
    env = dict(WINE_ENV, WINEDEBUG="-all,+pid,+loaddll,+process")
    log = subprocess.run([WINE, exe], env=env, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         text=True, errors="replace", timeout=300).stderr
    process = None
    dlls, before = [], None
    for line in log.splitlines():
        if process and before is None and line.startswith(process + ":") and "CreateProcessInternalW app" in line:
            before = len(dlls)
        match = re.match(r'([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" at', line)
        if not match:
            continue
        pid, path = match.group(1), match.group(2).replace("\\\\", "\\")
        if process is None and path.lower() == windows_path(exe).lower():
            process = pid
        elif pid == process:
            dlls.append(path.rsplit("\\", 1)[-1].lower())
    return dlls, len(dlls) if before is None else before


def median_ratio(numerators, denominators):
    return statistics.median(n / d for n, d in zip(numerators, denominators))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--floor", required=True, help="floor with AllowSetForegroundWindow")
    parser.add_argument("--late-floor", required=True, help="floor that loads user32 only for that call")
    parser.add_argument("--plain-floor", required=True, help="floor without it")
    parser.add_argument("--standin", required=True, help="a velnor.exe that ends at once")
    parser.add_argument("--settings", required=True, help="a typical VELNOR.INI")
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("launchers", nargs="+", metavar="NAME=START_EXE")
    options = parser.parse_args()

    root = tempfile.mkdtemp(prefix="velnor_bench_")
    with open(options.settings, "rb") as file:
        typical = file.read()

    def folder(name, exe):
        path = os.path.join(root, name)
        os.makedirs(path)
        shutil.copy(exe, os.path.join(path, "start.exe"))
        shutil.copy(options.standin, os.path.join(path, "velnor.exe"))
        with open(os.path.join(path, "VELNOR.INI"), "wb") as file:
            file.write(typical)
        return os.path.join(path, "start.exe")

    contenders = {"floor": folder("Floor", options.floor), "late": folder("LateFloor", options.late_floor),
                  "plain": folder("PlainFloor", options.plain_floor)}
    launchers = []
    for number, item in enumerate(options.launchers):
        name, exe = item.split("=", 1)
        launchers.append((name, exe))
        up_to_date = folder("Launcher%dUpToDate" % number, exe)
        # The first start brings the entries up to date; the file stays so.
        start(up_to_date)
        contenders[name + "/up to date"] = up_to_date
        contenders[name + "/rewrite"] = folder("Launcher%dRewrite" % number, exe)

    def reset(name):
        if name.endswith("/rewrite"):
            with open(os.path.join(os.path.dirname(contenders[name]), "VELNOR.INI"), "wb") as file:
                file.write(typical)

    cpu = {name: [] for name in contenders}
    wall = {name: [] for name in contenders}
    for name in contenders:  # warm the caches
        reset(name)
        start(contenders[name])
    for _ in range(options.rounds):
        order = list(contenders)
        random.shuffle(order)
        for name in order:
            reset(name)
            used, elapsed, status = start(contenders[name])
            if status != 0:
                raise SystemExit("%s ended with %d" % (name, status))
            cpu[name].append(used)
            wall[name].append(elapsed)

    print("%d rounds; %d-byte settings file; medians of the ratios within each round" %
          (options.rounds, len(typical)))
    print()
    titles = {"floor": "floor: read, CreateProcessW, AllowSetForegroundWindow",
              "late": "floor, user32 loaded for AllowSetForegroundWindow",
              "plain": "floor without AllowSetForegroundWindow"}
    print("| | CPU, median | CPU ÷ floor | CPU ÷ floor without AllowSetForegroundWindow "
          "| wall, median | wall ÷ floor |")
    print("|---|---|---|---|---|---|")
    for name in contenders:
        print("| %s | %.0f ms | %.3f | %.3f | %.0f ms | %.3f |" % (
            titles.get(name, name), 1000 * statistics.median(cpu[name]),
            median_ratio(cpu[name], cpu["floor"]), median_ratio(cpu[name], cpu["plain"]),
            1000 * statistics.median(wall[name]), median_ratio(wall[name], wall["floor"])))
    print()
    print("| | size | DLLs loaded in an up-to-date start | of them before velnor.exe's process is asked for |")
    print("|---|---|---|---|")
    loads = []
    floors = [("floor", options.floor), ("late", options.late_floor), ("plain", options.plain_floor)]
    for name, exe in floors + launchers:
        target = contenders.get(name) or contenders[name + "/up to date"]
        dlls, before = loaded_dlls(target)
        loads.append((name, dlls, before))
        print("| %s | %d bytes | %d | %d |" % (titles.get(name, name), os.path.getsize(exe), len(dlls), before))
    print()
    print("DLLs loaded (before velnor.exe's process is asked for | after):")
    print()
    for name, dlls, before in loads:
        print("- %s: %s | %s" % (name, " ".join(dlls[:before]), " ".join(dlls[before:]) or "–"))
    shutil.rmtree(root, True)


if __name__ == "__main__":
    main()
