#!/usr/bin/env python3
"""Which DLLs start.exe loads under Wine, and from where, and its own path
split from the command line as CommandLineToArgvW splits it. Paths come from
ctest's environment (wine_tests.py), MARKER_DLLS and COMMAND_LINE_PROBE_EXE."""

import os
import re
import subprocess
import shutil
import unittest

import wine_tests

WINE_ENV = wine_tests.WINE_ENV
# What kernel32 and msvcrt (and advapi32) bring with them under Wine.
KERNEL_SIDE = {"kernelbase.dll", "kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "sechost.dll", "advapi32.dll"}
# The shell, COM, network and timer side, which no normal start needs.
NEVER = {"shell32.dll", "shlwapi.dll", "shcore.dll", "ole32.dll", "combase.dll", "rpcrt4.dll", "oleaut32.dll",
         "ws2_32.dll", "iphlpapi.dll", "dnsapi.dll", "nsi.dll", "netapi32.dll", "winmm.dll", "msacm32.dll",
         "userenv.dll", "mpr.dll"}
OLD = b"BIBOPATH1=C:\\Old\\BIBO\\\r\nName=x\r\n"


class DllLoading(unittest.TestCase):
    # The Wine suite's set-up and starts; its class itself stays out of this
    # module, where it would run as well.
    setUpClass = wine_tests.StartUnderWine.setUpClass
    tearDownClass = wine_tests.StartUnderWine.tearDownClass
    setUp = wine_tests.StartUnderWine.setUp
    program_folder = wine_tests.StartUnderWine.program_folder
    launch = wine_tests.StartUnderWine.launch
    read_record = wine_tests.StartUnderWine.read_record
    assertStarted = wine_tests.StartUnderWine.assertStarted

    def starts(self, folder, elevated=False):
        """(what, VELNOR.INI after, faults) of an up-to-date start, a rewrite
        and a start without the file, each set up when its turn comes; where
        asked, then a start whose velnor.exe asks for elevation, as far as
        Wine goes: its way through the shell (faulty_start.cpp)."""
        new = OLD.replace(b"C:\\Old\\", wine_tests.windows_1251(wine_tests.windows_path(folder)) + b"\\")
        settings = os.path.join(folder, "VELNOR.INI")
        starts = [("up to date", new, new, ""), ("rewrite", OLD, new, ""), ("missing", None, None, "")]
        if elevated:
            starts.append(("elevated", OLD, new, "create-process:740:1"))
        for what, before, after, faults in starts:
            if before is None:
                os.remove(settings)
            else:
                with open(settings, "wb") as file:
                    file.write(before)
            if faults:
                shutil.copy(os.environ["FAULTY_START_EXE"], os.path.join(folder, "start.exe"))
            yield what, after, faults

    def test_no_dll_from_the_launcher_folder(self):
        # A DLL of a system DLL's name beside start.exe, with Windows' search
        # order for one that isn't a KnownDLL, is never loaded by start.exe,
        # nor by a system DLL that loads it by name, as user32 loads imm32
        # (velnor.exe, started from there, may load it).
        for name in sorted(os.listdir(os.environ["MARKER_DLLS"])):
            folder = self.program_folder("Beside" + name)
            shutil.copy(os.path.join(os.environ["MARKER_DLLS"], name), folder)
            overrides = WINE_ENV["WINEDLLOVERRIDES"] + ";" + name[:-4] + "=n,b"
            for what, after, faults in self.starts(folder, elevated=True):
                with self.subTest(dll=name, start=what):
                    for left in [left for left in os.listdir(folder) if ".loaded-by-" in left]:
                        os.remove(os.path.join(folder, left))
                    run = self.launch(folder, env={"WINEDLLOVERRIDES": overrides, "VELNOR_FAULTS": faults},
                                      wait_for_record=bool(after))
                    self.assertNotIn(name + ".loaded-by-start.exe", [left.lower() for left in os.listdir(folder)])
                    if after is None:
                        self.assertEqual((run.status, run.messages), (1, ["File VELNOR.INI not open.\\n"]))
                        continue
                    self.assertStarted(run, folder)
                    with open(os.path.join(folder, "VELNOR.INI"), "rb") as file:
                        self.assertEqual(file.read(), after)

    def test_a_normal_start_loads_only_the_kernel_side(self):
        folder = self.program_folder("Loads")
        env = dict(WINE_ENV, WINEDEBUG="-all,+pid,+loaddll,+process")
        for what, after, _ in self.starts(folder):
            with self.subTest(start=what):
                log = subprocess.run(["wine", os.path.join(folder, "start.exe")], cwd=folder, env=env, timeout=300,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).stderr.decode("utf-8", "replace")
                # start.exe's process: its DLLs in order, and how many it had
                # when it asked for velnor.exe's process.
                process, dlls, created = None, [], None
                for line in log.splitlines():
                    if process and created is None and line.startswith(process + ":") and "CreateProcessInternalW" in line:
                        created = len(dlls)
                    match = re.match(r'([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" at', line)
                    if match and process is None and match.group(2).lower().endswith("\\\\start.exe"):
                        process = match.group(1)
                    elif match and match.group(1) == process:
                        dlls.append(match.group(2).rsplit("\\", 1)[-1].lower())
                self.assertEqual(created is None, after is None, dlls)
                self.assertLessEqual(set(dlls[:created]), KERNEL_SIDE, dlls)
                self.assertEqual(set(dlls) & NEVER, set(), dlls)

    def test_own_path_split_as_the_shell_splits_it(self):
        lines = ['"C:\\Program Files\\Suite\\start.exe" /x "y z"', "C:\\Suite\\start.exe one", "C:\\Suite\\start.exe\tone",
                 "C:\\Suite\\start.exe", '"C:\\Suite\\start.exe"one', '"C:\\Su ite\\st"art.exe x', '"C:\\Suite\\start.exe',
                 'C:\\Su"ite x"\\start.exe y', 'C:\\Suite\\\\"start.exe" x', '"C:\\Suite\\\\" x', '"C:\\Suite\\" x',
                 '"" x', '""', " C:\\Suite\\start.exe", "\tC:\\Suite\\start.exe", "  ", "", "Программы\\Ωmega\\start.exe x"]
        encoded = [line.encode("utf-16-le").hex() or "-" for line in lines]
        output = subprocess.run(["wine", os.environ["COMMAND_LINE_PROBE_EXE"], *encoded], env=WINE_ENV, timeout=300,
                                capture_output=True, text=True, check=True).stdout
        pairs = [[bytes.fromhex(half).decode("utf-16-le") for half in line.split(" ")] for line in output.splitlines()]
        self.assertEqual(len(pairs), len(lines), output)
        for line, (ours, theirs) in zip(lines, pairs):
            with self.subTest(line=line):
                self.assertEqual(ours, theirs)
        # The empty command line stands for the program itself.
        self.assertTrue(pairs[lines.index("")][0].endswith("\\command_line_probe.exe"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
