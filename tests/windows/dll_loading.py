#!/usr/bin/env python3
"""Which DLLs start.exe loads under Wine, and from where: none from its own
folder, and in a normal start only the kernel side before velnor.exe's
process is asked for; also its own path, split from the command line as
CommandLineToArgvW splits it.

Paths come from the environment that ctest sets (see wine_tests.py), and
MARKER_DLLS, COMMAND_LINE_PROBE_EXE."""

import os
import re
import shutil
import subprocess
import unittest

import wine_tests

WINE_ENV = wine_tests.WINE_ENV
windows_1251 = wine_tests.windows_1251
windows_path = wine_tests.windows_path

MARKER_DLLS = os.environ.get("MARKER_DLLS", "")
COMMAND_LINE_PROBE_EXE = os.environ.get("COMMAND_LINE_PROBE_EXE", "")

# What kernel32, msvcrt and advapi32 bring with them under Wine.
KERNEL_SIDE = {"kernelbase.dll", "kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "sechost.dll", "advapi32.dll"}
# The shell, COM, network and timer side, which no normal start needs.
NEVER = {"shell32.dll", "shlwapi.dll", "shcore.dll", "ole32.dll", "combase.dll", "rpcrt4.dll", "oleaut32.dll",
         "ws2_32.dll", "iphlpapi.dll", "dnsapi.dll", "nsi.dll", "netapi32.dll", "winmm.dll", "msacm32.dll",
         "userenv.dll", "mpr.dll"}

OLD = b"BIBOPATH1=C:\\Old\\BIBO\\\r\nName=x\r\n"


class DllLoading(unittest.TestCase):
    # The Wine suite's way of setting up and starting; its class itself
    # stays out of this module, where it would run too.
    setUpClass = wine_tests.StartUnderWine.setUpClass
    setUp = wine_tests.StartUnderWine.setUp
    program_folder = wine_tests.StartUnderWine.program_folder
    launch = wine_tests.StartUnderWine.launch
    read_record = wine_tests.StartUnderWine.read_record
    assertStarted = wine_tests.StartUnderWine.assertStarted
    write_settings = wine_tests.StartUnderWine.write_settings

    def starts(self, folder):
        """(what, settings before or None, settings after) for an up-to-date
        start, a rewrite and a start without VELNOR.INI."""
        new = OLD.replace(b"C:\\Old\\", windows_1251(windows_path(folder)) + b"\\")
        return [("up to date", new, new), ("rewrite", OLD, new), ("missing", None, None)]

    def prepare(self, folder, before):
        settings = os.path.join(folder, "VELNOR.INI")
        if before is None:
            if os.path.exists(settings):
                os.remove(settings)
        else:
            self.write_settings(folder, before)

    def assertDidItsWork(self, run, folder, after):
        if after is None:
            self.assertEqual((run.status, run.messages), (1, ["File VELNOR.INI not open.\\n"]))
            self.assertIsNone(self.read_record(timeout=2), "something was started")
            return
        self.assertStarted(run, folder)
        with open(os.path.join(folder, "VELNOR.INI"), "rb") as file:
            self.assertEqual(file.read(), after)

    def test_no_dll_from_the_launcher_folder(self):
        # A DLL of a system DLL's name beside start.exe, with Windows' search
        # order for a DLL that isn't a KnownDLL: it must never be loaded.
        for name in sorted(os.listdir(MARKER_DLLS)):
            dll = name[:-len(".dll")]
            folder = self.program_folder("Beside" + dll)
            shutil.copy(os.path.join(MARKER_DLLS, name), folder)
            overrides = WINE_ENV["WINEDLLOVERRIDES"] + ";" + dll + "=n,b"
            for what, before, after in self.starts(folder):
                with self.subTest(dll=dll, start=what):
                    for left in [left for left in os.listdir(folder) if ".loaded-by-" in left]:
                        os.remove(os.path.join(folder, left))
                    self.prepare(folder, before)
                    run = self.launch(folder, env={"WINEDLLOVERRIDES": overrides},
                                      wait_for_record=after is not None)
                    # The file bears the name the DLL was loaded by, in any case.
                    self.assertNotIn(name + ".loaded-by-start.exe", [left.lower() for left in os.listdir(folder)],
                                     "start.exe loaded the DLL beside it")
                    self.assertDidItsWork(run, folder, after)

    def loaded(self, folder):
        """The DLLs start.exe's own process loaded, in order, and how many of
        them before it asked for velnor.exe's process (all, if it didn't)."""
        env = dict(WINE_ENV, WINEDEBUG="-all,+pid,+loaddll,+process")
        log = subprocess.run(["wine", os.path.join(folder, "start.exe")], cwd=folder, env=env, timeout=300,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).stderr.decode("utf-8", "replace")
        process, dlls, before = None, [], None
        for line in log.splitlines():
            if process and before is None and line.startswith(process + ":") and "CreateProcessInternalW app" in line:
                before = len(dlls)
            match = re.match(r'([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" at', line)
            if match and process is None and match.group(2).lower().endswith("\\\\start.exe"):
                process = match.group(1)
            elif match and match.group(1) == process:
                dlls.append(match.group(2).rsplit("\\", 1)[-1].lower())
        self.assertIsNotNone(process, "start.exe did not run")
        return dlls, len(dlls) if before is None else before

    def test_a_normal_start_loads_only_the_kernel_side(self):
        folder = self.program_folder("Loads")
        for what, before, after in self.starts(folder):
            with self.subTest(start=what):
                self.prepare(folder, before)
                dlls, created = self.loaded(folder)
                self.assertLessEqual(set(dlls[:created]), KERNEL_SIDE, dlls)
                self.assertEqual(set(dlls) & NEVER, set(), dlls)
                if after is not None:
                    self.assertLess(created, len(dlls), "velnor.exe was not asked for")

    def test_own_path_split_as_the_shell_splits_it(self):
        # Command lines that start.exe may be given; the first argument is
        # its own path, which the launcher takes without CommandLineToArgvW.
        lines = [
            '"C:\\Program Files\\Suite\\start.exe" /x "y z"',
            "C:\\Suite\\start.exe one two",
            "C:\\Suite\\start.exe\tone",
            "C:\\Suite\\start.exe",
            '"C:\\Suite\\start.exe"one',
            '"C:\\Su ite\\st"art.exe x',
            '"C:\\Suite\\start.exe',
            'C:\\Su"ite x"\\start.exe y',
            'C:\\Suite\\\\"start.exe" x',
            '"C:\\Suite\\\\" x',
            '"C:\\Suite\\" x',
            '"" x',
            '""',
            " C:\\Suite\\start.exe",
            "\tC:\\Suite\\start.exe",
            "  ",
            "",
            "Программы\\Ωmega\\start.exe x",
        ]
        encoded = [line.encode("utf-16-le").hex() or "-" for line in lines]
        result = subprocess.run(["wine", COMMAND_LINE_PROBE_EXE, *encoded], env=WINE_ENV, timeout=300,
                                capture_output=True, text=True, check=True)
        pairs = [line.split(" ") for line in result.stdout.splitlines()]
        self.assertEqual(len(pairs), len(lines), result.stdout)
        for line, (ours, theirs) in zip(lines, pairs):
            with self.subTest(line=line):
                self.assertEqual(bytes.fromhex(ours).decode("utf-16-le"), bytes.fromhex(theirs).decode("utf-16-le"))
        # The empty command line stands for the program itself.
        self.assertTrue(bytes.fromhex(pairs[lines.index("")][0]).decode("utf-16-le").endswith("command_line_probe.exe"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
