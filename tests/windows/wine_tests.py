#!/usr/bin/env python3
"""Checks the built start.exe: the file itself (PE header, manifest, imports)
and its behaviour under Wine against a stand-in velnor.exe.

Paths come from the environment that ctest sets: START_EXE, STANDIN_EXE,
HELPER_EXE, PROBE_EXE, MANIFEST, OBJDUMP, WINEPREFIX."""

import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

START_EXE = os.environ.get("START_EXE", "")
STANDIN_EXE = os.environ.get("STANDIN_EXE", "")
HELPER_EXE = os.environ.get("HELPER_EXE", "")
PROBE_EXE = os.environ.get("PROBE_EXE", "")
MANIFEST = os.environ.get("MANIFEST", "")
OBJDUMP = os.environ.get("OBJDUMP", "i686-w64-mingw32-objdump")

# Wine in a prefix of the project's own, 32-bit, with the Russian locale so
# that the ANSI code page is Windows-1251; no mono or gecko prompts; only the
# debugger output (Wine logs OutputDebugString on its seh channel).
WINE_ENV = dict(os.environ,
                WINEARCH="win32",
                WINEDLLOVERRIDES="mscoree,mshtml=",
                WINEDEBUG="-all,warn+seh",
                LANG="ru_RU.UTF-8",
                LC_ALL="ru_RU.UTF-8")
WINE_ENV.pop("DISPLAY", None)

# What start.exe may import: KnownDLLs, which Windows takes from the system
# folder whatever lies beside the program. It delay-loads everything else.
KNOWN_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll"}

MESSAGE = re.compile(r'OutputDebugString[AW] "(.*)"$')


def launcher_numbers():
    """The numbers src/platform/launcher_numbers.h defines, as the build wrote
    them for the tests (LAUNCHER_NUMBERS)."""
    with open(os.environ["LAUNCHER_NUMBERS"], encoding="utf-8") as file:
        return json.load(file)


NUMBERS = launcher_numbers()
# The pauses (ms) between the attempts at a held file, and the bound of the whole wait.
PAUSES, WAIT_BOUND = NUMBERS["waitPausesMs"], NUMBERS["waitBoundMs"]


def own_name(digits, complete, name="VELNOR.INI"):
    """The name of a new file of the launcher's beside name, with the given
    digits, complete (".new") or still being written (".tmp")."""
    return name + NUMBERS["temporaryMarker"] + digits + NUMBERS["completeSuffix" if complete else "temporarySuffix"]


def windows_path(path):
    """The path as Wine's Z: drive shows a host path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def windows_1251(text):
    return text.encode("cp1251")


class Run:
    def __init__(self, status, messages, record, output=""):
        self.status = status
        self.messages = messages
        self.record = record
        self.output = output


class StartUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # One server for the whole suite, booted once and kept up until its
        # end. Debian's wineserver ends the moment the last program does, so
        # otherwise nearly every start boots the prefix's services anew, and a
        # start killed while they come up has left wineboot waiting for good,
        # and the server with it. Whatever an interrupted run left running in
        # the tests' own prefix is ended first.
        os.makedirs(WINE_ENV["WINEPREFIX"], exist_ok=True)
        subprocess.run(["wineserver", "-k"], env=WINE_ENV, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=WINE_ENV, timeout=60)
        subprocess.run(["wineserver", "-p"], env=WINE_ENV, check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineboot", "--init"], env=WINE_ENV, check=True, timeout=900,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=WINE_ENV, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=WINE_ENV, timeout=60)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="velnor_wine_")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.record = os.path.join(self.root, "record")

    def program_folder(self, *parts, standin=True):
        folder = os.path.join(self.root, *parts)
        os.makedirs(folder, exist_ok=True)
        shutil.copy(START_EXE, os.path.join(folder, "start.exe"))
        if standin:
            shutil.copy(STANDIN_EXE, os.path.join(folder, "velnor.exe"))
        return folder

    def launch(self, folder, arguments=(), cwd=None, go=None, wait_for_record=True, locale=None, typed=None,
               helper=None, env=None):
        # A record left by an earlier start must not pass for this one.
        if os.path.exists(self.record):
            os.remove(self.record)
        env = dict(WINE_ENV, VELNOR_STANDIN_RECORD=windows_path(self.record)) | (env or {})
        if locale:
            env.update(LANG=locale, LC_ALL=locale)
        if go:
            env["VELNOR_STANDIN_GO"] = windows_path(go)
        # A file, not a pipe: the main program and the wineserver inherit the
        # launcher's standard error and would hold a pipe open.
        with tempfile.TemporaryFile() as log, tempfile.TemporaryFile() as out:
            # wine itself hands a program its full path; cmd passes on the
            # command as typed; the helper starts the launcher as it is told.
            if helper:
                command = [HELPER_EXE, *helper, typed or windows_path(os.path.join(folder, "start.exe"))]
            else:
                command = ["cmd", "/c", typed] if typed else [os.path.join(folder, "start.exe")]
            result = subprocess.run(["wine", *command, *arguments],
                                    cwd=cwd or folder, env=env, stdout=out, stderr=log,
                                    timeout=300)
            log.seek(0)
            output = log.read().decode("utf-8", "replace")
            out.seek(0)
            helper_output = out.read().decode("utf-8", "replace")
        messages = []
        for line in output.splitlines():
            match = MESSAGE.search(line)
            if match:
                messages.append(match.group(1))
        record = self.read_record(timeout=30 if wait_for_record else 0)
        return Run(result.returncode, messages, record, helper_output)

    def read_record(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if os.path.exists(self.record):
                with open(self.record, encoding="utf-8") as file:
                    return dict(line.split("=", 1) for line in file.read().splitlines())
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.05)

    def assertStarted(self, run, folder):
        self.assertEqual(run.status, 0)
        self.assertEqual(run.messages, [])
        self.assertIsNotNone(run.record, "velnor.exe did not run")
        self.assertEqual(run.record["self"], windows_path(os.path.join(folder, "velnor.exe")))

    def test_entries_point_at_the_launch_folder(self):
        # (folders below the root, settings before, settings after with {} for the launch folder)
        cases = [
            (("Suite",),
             b"[Paths]\nBIBOPATH1=C:\\Old\\BIBO\\\r\nBIBOPATH2=C:\\Old\\BIBO\\BIBOLIB\\\nName=x",
             b"[Paths]\r\nBIBOPATH1={}BIBO\\\r\nBIBOPATH2={}BIBOLIB\\\r\nName=x\r\n"),
            (("Suite",),
             b";BIBOPATH1=D:\\Tools\\BIBO\\\r\nOther=\xc0\xff\r\n",
             b";BIBOPATH1={}BIBO\\\r\nOther=\xc0\xff\r\n"),
            # Byte 0x98, which Windows-1251 leaves unassigned, is kept as it is:
            # on its own, and as the second byte of UTF-8 "И" in a file without a mark.
            (("Suite",),
             b"Font=Arial\x98\r\nBIBOPATH1=C:\\Old\\BIBO\\\r\nName=\xd0\x98\xd0\xbc\xd1\x8f\r\n",
             b"Font=Arial\x98\r\nBIBOPATH1={}BIBO\\\r\nName=\xd0\x98\xd0\xbc\xd1\x8f\r\n"),
            (("Программы", "Вельнор"),
             b"BIBOPATH1=C:\\\xcf\xf0\xee\xe3\xf0\xe0\xec\xec\xfb\\BIBO\\\r\n",
             b"BIBOPATH1={}BIBO\\\r\n"),
        ]
        for parts, before, after in cases:
            with self.subTest(folder=parts, before=before):
                folder = self.program_folder(*parts)
                settings = os.path.join(folder, "VELNOR.INI")
                with open(settings, "wb") as file:
                    file.write(before)
                run = self.launch(folder)
                self.assertStarted(run, folder)
                launch_folder = windows_1251(windows_path(folder) + "\\")
                with open(settings, "rb") as file:
                    self.assertEqual(file.read(), after.replace(b"{}", launch_folder))
                self.assertEqual(sorted(os.listdir(folder)), ["VELNOR.INI", "start.exe", "velnor.exe"])

    def test_entries_follow_the_folder(self):
        # Started from C:\Program Files (x86)\Velnor\ on the prefix's drive C:,
        # then moved to folders whose names hold Ё, - and . and started again:
        # each start points the entries at its folder, and the next start
        # after a move finds them again. (folder on the host, as Windows names it)
        drive_c = os.path.join(WINE_ENV["WINEPREFIX"], "drive_c")
        places = [
            (os.path.join(drive_c, "Program Files (x86)", "Velnor"), "C:\\Program Files (x86)\\Velnor\\"),
            (os.path.join(self.root, "Ёлка - Org", "j.smith"), windows_path(self.root) + "\\Ёлка - Org\\j.smith\\"),
            (os.path.join(drive_c, "Velnor 2.0"), "C:\\Velnor 2.0\\"),
        ]
        for made in (os.path.join(drive_c, "Program Files (x86)"), places[2][0]):
            if not os.path.exists(made):
                self.addCleanup(shutil.rmtree, made, True)
        folder = self.program_folder("Velnor")
        self.write_settings(folder, windows_1251("BIBOPATH1=C:\\Old\\BIBO\\\r\n"
                                                 "BIBOPATH2=D:\\Apps (x86)\\Velnor\\BIBO\\Parts\\\r\n"
                                                 ";BIBOPATH3=C:\\Old\\BIBO\\Archive\\\r\nName=Ёлка\r\n"))
        for host, shown in places:
            with self.subTest(shown):
                os.makedirs(os.path.dirname(host), exist_ok=True)
                shutil.move(folder, host)
                folder = host
                run = self.launch(folder, helper=("start", "1", "-"), typed='"' + shown + 'start.exe"')
                self.assertEqual((run.status, run.messages), (0, []))
                self.assertIsNotNone(run.record, "velnor.exe did not run")
                self.assertEqual(run.record["self"], shown + "velnor.exe")
                self.assertSettings(folder, windows_1251("BIBOPATH1={0}BIBO\\\r\nBIBOPATH2={0}BIBO\\Parts\\\r\n"
                                                         ";BIBOPATH3={0}BIBO\\Archive\\\r\nName=Ёлка\r\n".format(shown)))

    def test_settings_left_as_they_were(self):
        # (what, settings with {} for the launch folder, file mode)
        cases = [
            ("up to date", b"BIBOPATH1={}BIBO\\\r\nName=x\r\n", 0o644),
            ("read-only", b"BIBOPATH1=C:\\Old\\BIBO\\\r\n", 0o444),
        ]
        for what, content, mode in cases:
            with self.subTest(what):
                folder = self.program_folder(what.replace(" ", "_").replace("-", "_"))
                settings = os.path.join(folder, "VELNOR.INI")
                content = content.replace(b"{}", windows_1251(windows_path(folder) + "\\"))
                with open(settings, "wb") as file:
                    file.write(content)
                os.chmod(settings, mode)
                past = time.time_ns() - 10 ** 10
                os.utime(settings, ns=(past, past))
                before = os.stat(settings)
                run = self.launch(folder)
                self.assertStarted(run, folder)
                after = os.stat(settings)
                with open(settings, "rb") as file:
                    self.assertEqual(file.read(), content)
                self.assertEqual((after.st_ino, after.st_mtime_ns, after.st_mode),
                                 (before.st_ino, before.st_mtime_ns, before.st_mode))
                self.assertEqual(sorted(os.listdir(folder)), ["VELNOR.INI", "start.exe", "velnor.exe"])

    def test_failures_are_reported(self):
        # (what, folder, locale, settings file present, stand-in present, message)
        cases = [
            ("no settings file", "Suite", None, False, True, "File VELNOR.INI not open.\\n"),
            ("no main program", "Suite", None, True, False, "velnor.exe not started.\\n"),
        ]
        for what, name, locale, settings, standin, message in cases:
            with self.subTest(what):
                folder = self.program_folder(what.replace(" ", "_"), name, standin=standin)
                if settings:
                    with open(os.path.join(folder, "VELNOR.INI"), "wb") as file:
                        file.write(b"Name=x\r\n")
                before = sorted(os.listdir(folder))
                # An empty working directory: nothing to be found there.
                elsewhere = tempfile.mkdtemp(dir=self.root)
                run = self.launch(folder, cwd=elsewhere, wait_for_record=False, locale=locale)
                self.assertEqual(run.status, 1)
                self.assertEqual(run.messages, [message])
                self.assertIsNone(self.read_record(timeout=2), "something was started")
                self.assertEqual(sorted(os.listdir(folder)), before)

    def test_own_path_taken_literally(self):
        # (what, command as typed with {} for the folder, working directory
        # is the program folder, started)
        cases = [
            # Relative: the settings file is read, but no entry may point at
            # a relative folder.
            ("relative", ".\\start.exe", True, True),
            # Only the backslash separates folders: no launch folder, so the
            # settings file is looked for in the working directory.
            ("slashes", "{}/start.exe", True, True),
            ("slashes elsewhere", "{}/start.exe", False, False),
        ]
        for what, typed, in_folder, started in cases:
            with self.subTest(what):
                folder = self.program_folder(what.replace(" ", "_"))
                settings = os.path.join(folder, "VELNOR.INI")
                content = b"BIBOPATH1=C:\\Old\\BIBO\\\r\n"
                with open(settings, "wb") as file:
                    file.write(content)
                cwd = folder if in_folder else tempfile.mkdtemp(dir=self.root)
                typed = typed.replace("{}", windows_path(folder).replace("\\", "/"))
                run = self.launch(folder, cwd=cwd, typed=typed, wait_for_record=started)
                with open(settings, "rb") as file:
                    self.assertEqual(file.read(), content)
                if started:
                    self.assertEqual(run.messages, [])
                    self.assertIsNotNone(run.record, "velnor.exe did not run")
                    self.assertEqual(run.record["self"], windows_path(os.path.join(folder, "velnor.exe")))
                else:
                    self.assertEqual(run.messages, ["File VELNOR.INI not open.\\n"])
                    self.assertIsNone(self.read_record(timeout=2), "something was started")

    def write_settings(self, folder, content):
        settings = os.path.join(folder, "VELNOR.INI")
        with open(settings, "wb") as file:
            file.write(content)
        return settings

    def assertSettings(self, folder, content):
        with open(os.path.join(folder, "VELNOR.INI"), "rb") as file:
            self.assertEqual(file.read(), content)
        self.assertEqual(sorted(os.listdir(folder)), ["VELNOR.INI", "start.exe", "velnor.exe"])

    def test_own_path_in_any_code_page(self):
        # The own path comes from the Unicode command line, so a folder with
        # letters the system's code page lacks still names VELNOR.INI. The
        # text stays Windows-1251: a file without a mark keeps its entries
        # where the folder doesn't fit, a marked one is written in its own
        # encoding. (folder, locale, UTF-8 mark, rewritten)
        cases = [
            ("Ωmega", None, True, True),
            ("Ωmega", None, False, False),
            ("Тәрбие", None, True, True),
            ("Café", "C.UTF-8", True, True),
            ("Café", "C.UTF-8", False, False),
            # Cyrillic on a system whose code page is 1252.
            ("Программы", "C.UTF-8", False, True),
        ]
        for number, (name, locale, marked, rewritten) in enumerate(cases):
            with self.subTest(folder=name, locale=locale, marked=marked):
                folder = self.program_folder(str(number), name)
                old = "BIBOPATH1=C:\\Old\\BIBO\\\r\n"
                new = "BIBOPATH1=" + windows_path(folder) + "\\BIBO\\\r\n"
                encode = (lambda text: b"\xef\xbb\xbf" + text.encode("utf-8")) if marked else windows_1251
                self.write_settings(folder, encode(old))
                self.assertStarted(self.launch(folder, locale=locale), folder)
                self.assertSettings(folder, encode(new if rewritten else old))

    def test_device_and_long_path_syntax_leave_entries(self):
        for prefix in ("\\\\?\\", "\\\\.\\"):
            with self.subTest(prefix=prefix):
                folder = self.program_folder("Prefixed" + str(len(prefix) + prefix.count("?")))
                content = b"BIBOPATH1=C:\\Old\\BIBO\\\r\n"
                self.write_settings(folder, content)
                run = self.launch(folder, helper=("start", "1", "-"),
                                  typed=prefix + windows_path(os.path.join(folder, "start.exe")))
                self.assertStarted(run, folder)
                self.assertSettings(folder, content)

    def test_hidden_settings_file_stays_hidden(self):
        folder = self.program_folder("Hidden")
        settings = self.write_settings(folder, b"BIBOPATH1=C:\\Old\\BIBO\\\r\n")
        subprocess.run(["wine", "cmd", "/c", "attrib", "+h", windows_path(settings)], env=WINE_ENV,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

        def attributes():
            try:
                return int(os.getxattr(settings, "user.DOSATTRIB").split(b"\0")[0], 16)
            except OSError:
                return 0
        if not attributes() & 2:
            self.skipTest("this file system keeps no DOS attributes for Wine (no user extended attributes)")
        self.assertStarted(self.launch(folder), folder)
        self.assertSettings(folder, b"BIBOPATH1=" + windows_1251(windows_path(folder)) + b"\\BIBO\\\r\n")
        self.assertTrue(attributes() & 2, "the hidden attribute was lost")

    def helper_info(self, path):
        result = subprocess.run(["wine", HELPER_EXE, "info", windows_path(path)], env=WINE_ENV,
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_what_the_old_file_had_is_kept(self):
        # The new file gets the old one's attributes and DACL before it takes
        # its name. Wine keeps only the hidden and system attributes (in
        # user.DOSATTRIB), and makes a DACL of the Unix mode bits: a folder
        # whose mode gives the world nothing passes nothing on. (what, file
        # mode, attrib switches)
        cases = [
            ("hidden", 0o644, ["+h"]),
            ("hidden system", 0o644, ["+h", "+s"]),
            ("owner only", 0o600, []),
            ("everyone writes", 0o666, []),
        ]
        for what, mode, switches in cases:
            with self.subTest(what):
                folder = self.program_folder(what.replace(" ", "_"))
                os.chmod(folder, 0o700)
                settings = self.write_settings(folder, b"BIBOPATH1=C:\\Old\\BIBO\\\r\n")
                os.chmod(settings, mode)
                if switches:
                    subprocess.run(["wine", "cmd", "/c", "attrib", *switches, windows_path(settings)], env=WINE_ENV,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
                # What a new file there would have: the row must differ from it.
                plain = self.write_settings(self.root, b"")
                before = self.helper_info(settings)
                if before == self.helper_info(plain):
                    self.skipTest("this file system keeps no DOS attributes for Wine (no user extended attributes)")
                self.assertStarted(self.launch(folder), folder)
                self.assertSettings(folder, b"BIBOPATH1=" + windows_1251(windows_path(folder)) + b"\\BIBO\\\r\n")
                self.assertEqual(self.helper_info(settings), before)

    def test_killed_while_replacing(self):
        # The launcher ended as TerminateProcess ends it (SIGKILL to its Wine
        # process) while it rewrites a file of several MB: at random moments,
        # and the moment its new content stands complete beside VELNOR.INI.
        # Throughout, the folder is watched: VELNOR.INI must never be missing.
        folder = self.program_folder("Killed", standin=False)
        filler = b"".join(b"Line%d=%s\r\n" % (i, b"x" * 60) for i in range(90000))
        old = b"[Paths]\r\nBIBOPATH1=C:\\Old\\BIBO\\\r\n" + filler
        new = old.replace(b"C:\\Old\\", windows_1251(windows_path(folder)) + b"\\")
        settings = self.write_settings(folder, old)
        backup = os.path.join(folder, "VELNOR.INI.bak")
        with open(backup, "wb") as file:
            file.write(old)
        own = re.compile(re.escape("VELNOR.INI" + NUMBERS["temporaryMarker"]) + "[0-9a-z]{%d}(%s|%s)$" % (
            NUMBERS["randomDigits"], re.escape(NUMBERS["temporarySuffix"]), re.escape(NUMBERS["completeSuffix"])))

        def size_of(path):
            try:
                return os.path.getsize(path)
            except OSError:
                return -1

        def run(kill_at=None, aim=None):
            """Starts the launcher and kills it as asked: after kill_at seconds, the
            moment a new file beside VELNOR.INI holds the complete new content
            ("complete"), or at the folder's next change after that ("next step").
            Returns whether the name VELNOR.INI ever stood empty."""
            earlier = set(os.listdir(folder)) # leftovers of earlier kills
            process = subprocess.Popen(["wine", os.path.join(folder, "start.exe")], cwd=folder, env=WINE_ENV,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            began = time.monotonic()
            missing = False
            complete = None # the folder's names when the new content stood complete
            while process.poll() is None:
                if time.monotonic() - began > 120:
                    process.kill()
                    self.fail("the launcher hung")
                names = set(os.listdir(folder))
                missing = "VELNOR.INI" not in names
                if aim and complete is None and any(size_of(os.path.join(folder, name)) == len(new)
                                                    for name in names - earlier - {"VELNOR.INI"}):
                    complete = names
                due = ((aim == "complete" and complete is not None)
                       or (aim == "next step" and complete is not None and names != complete)
                       or (kill_at is not None and time.monotonic() - began >= kill_at))
                if missing or due:
                    process.kill()
                    break
            process.wait(timeout=120)
            return missing

        run()
        with open(settings, "rb") as file:
            self.assertEqual(file.read(), new)
        took = time.monotonic()
        self.write_settings(folder, old)
        run()
        took = time.monotonic() - took

        counts = dict(old=0, new=0, missing=0, partial=0)
        kills = ([dict(kill_at=random.uniform(0, took * 1.1)) for _ in range(25)]
                 + [dict(aim="complete")] * 10 + [dict(aim="next step")] * 10)
        for kill in kills:
            self.write_settings(folder, old)
            missing = run(**kill)
            if missing or not os.path.exists(settings):
                counts["missing"] += 1
            else:
                with open(settings, "rb") as file:
                    content = file.read()
                counts["old" if content == old else "new" if content == new else "partial"] += 1
        leftovers = [name for name in os.listdir(folder) if own.match(name)]
        print("%d kills: %s; %d leftovers of the launcher's own, %d other files beside VELNOR.INI"
              % (len(kills), counts, len(leftovers), len(os.listdir(folder)) - len(leftovers) - 3), file=sys.stderr)
        self.assertEqual((counts["missing"], counts["partial"]), (0, 0), counts)

        # Once they are stale, the next start that writes removes them all.
        past = time.time() - 20 * 60
        for name in leftovers:
            os.utime(os.path.join(folder, name), (past, past))
        self.write_settings(folder, old)
        run()
        with open(settings, "rb") as file:
            self.assertEqual(file.read(), new)
        self.assertEqual(sorted(os.listdir(folder)), ["VELNOR.INI", "VELNOR.INI.bak", "start.exe"])
        with open(backup, "rb") as file:
            self.assertEqual(file.read(), old)

    def test_settings_held_open_elsewhere(self):
        # Another program holds VELNOR.INI open: sharing reading and writing
        # but not deletion (a running velnor.exe, an editor), so that the
        # launcher reads it but can't replace it, or sharing nothing, so that
        # it can't even read it. Either way the launcher tries again for the
        # pauses of PAUSES. Then the other program closes the file, having
        # saved its own content in place or not: its save wins, otherwise the
        # rewrite lands; held too long, the file stays as it was. (sharing,
        # held for ms, their save, what VELNOR.INI holds after, the
        # launcher's run in ms at least, below)
        theirs = os.path.join(self.root, "theirs")
        with open(theirs, "wb") as file:
            file.write(b"Theirs=1\r\nBIBOPATH1=C:\\Theirs\\BIBO\\\r\n")
        # Under Wine a start alone takes up to a second or more (under qemu):
        # the bound for a 10 s hold shows the launcher's own second of waiting.
        cases = [("rw", 300, False, "new", 300, 5000), ("rw", 10000, False, "old", 0, 4000)]
        cases += [("rw", held, save, "theirs" if save else "new", held, 5000)
                  for held in (100, 300, 600) for save in (True, False)]
        cases += [("none", 300, False, "new", 300, 5000), ("none", 10000, False, "not open", 900, 4000)]
        for sharing, held, save, after, least, most in cases:
            with self.subTest(sharing=sharing, held=held, save=save):
                folder = self.program_folder("Held_%s_%d_%d" % (sharing, held, save))
                old = b"BIBOPATH1=C:\\Old\\BIBO\\\r\n"
                settings = self.write_settings(folder, old)
                run = self.launch(folder, helper=("hold", sharing, windows_path(settings), str(held),
                                                  windows_path(theirs) if save else "-"),
                                  wait_for_record=after != "not open")
                ran = int(re.search(r"ran=(\d+)", run.output).group(1))
                self.assertTrue(least <= ran < most, "the launcher ran %d ms" % ran)
                if after == "not open":
                    self.assertEqual((run.status, run.messages), (1, ["File VELNOR.INI not open.\\n"]))
                    self.assertIsNone(self.read_record(timeout=2), "something was started")
                    self.assertSettings(folder, old)
                    continue
                self.assertStarted(run, folder)
                launch_folder = windows_1251(windows_path(folder)) + b"\\"
                with open(os.path.join(folder, "VELNOR.INI"), "rb") as file:
                    content = file.read()
                if after == "theirs":
                    # A launcher that read the file only after their save
                    # brings their content up to date.
                    with open(theirs, "rb") as file:
                        saved = file.read()
                    self.assertIn(content, (saved, saved.replace(b"C:\\Theirs\\", launch_folder)))
                else:
                    self.assertEqual(content, old if after == "old" else b"BIBOPATH1=" + launch_folder + b"BIBO\\\r\n")
                self.assertSettings(folder, content)

    def test_simultaneous_starts(self):
        # Eight launchers at the same moment, round after round: each reads
        # the file while others rename their new one over it. Every one
        # starts velnor.exe without a message, every velnor.exe reads a whole
        # file, the file ends up exact, and nothing is left beside it.
        starts, rounds = 8, 25
        folder = self.program_folder("Together")
        filler = b"".join(b"Line%d=%s\r\n" % (i, b"x" * 60) for i in range(3000))
        old = b"[Paths]\r\nBIBOPATH1=C:\\Old\\BIBO\\\r\n" + filler + b"Last=1\r\n"
        new = old.replace(b"C:\\Old\\", windows_1251(windows_path(folder)) + b"\\")
        failed = 0
        for round in range(rounds):
            self.write_settings(folder, old)
            records = os.path.join(self.root, "records%d" % round)
            os.makedirs(records)
            run = self.launch(folder, helper=("start", str(starts), "-"), wait_for_record=False,
                              env={"VELNOR_STANDIN_RECORD": windows_path(records) + "\\",
                                   "VELNOR_STANDIN_SETTINGS": "1"})
            deadline = time.monotonic() + 60
            while (run.status == 0 and len([n for n in os.listdir(records) if not n.endswith(".part")]) < starts
                   and time.monotonic() < deadline):
                time.sleep(0.1)
            started = [name for name in os.listdir(records) if not name.endswith(".part")]
            failed += starts - len(started)
            with self.subTest(round=round):
                self.assertEqual((run.status, run.messages, len(started)), (0, [], starts))
                self.assertSettings(folder, new)
                for name in started:
                    with open(os.path.join(records, name), encoding="utf-8") as file:
                        record = dict(line.split("=", 1) for line in file.read().splitlines())
                    self.assertIn(record["settings"], ("%d Last=1" % len(old), "%d Last=1" % len(new)))
        print("%d simultaneous starts, %d without velnor.exe" % (starts * rounds, failed), file=sys.stderr)

    def test_failing_system_calls(self):
        # start.exe with the calls of replacing VELNOR.INI failing, or
        # answering, as Windows, FAT and SMB do (faulty_start.cpp). The new
        # file gets exactly the old one's rights: a DACL made only of what the
        # folder passes on now comes by itself (no WRITE_DAC, which a share
        # granting "Change" refuses); entries of the file's own are merged
        # with the folder's; where either would change a right, the old
        # entries become the new file's own, protected. Encryption and the
        # hidden and system attributes are kept or nothing is written; the
        # archive attribute is always set. A denial by the rights costs no
        # waiting; a held file is waited for, at most the pauses of PAUSES.
        # Whatever fails, nothing is left beside VELNOR.INI and
        # velnor.exe starts. Each row: what, faults, VELNOR.INI after, new
        # files made, ms paused (the first pauses of PAUSES, one for each
        # attempt that failed), and the extra environment (VELNOR_FAULT_ left
        # off) and what the log must say (the new file's attributes and DACL,
        # the largest file discarded).
        denied, sharing, full, bad, deleting = 5, 32, 112, 87, "0xC0000056"
        world, inherited, explicit, protected = "D:(A;;GA;;;WD)", "D:AI(A;ID;FA;;;WD)", "D:(A;;FA;;;WD)", "D:P(A;;FA;;;WD)"
        mixed = "D:AI(A;;FA;;;BU)(A;ID;FA;;;WD)"
        passes = "(A;ID;FA;;;WD)"
        cases = [
            ("WRITE_DAC denied, inherited DACL", "create-dac:%d:*" % denied, "new", 1, 0,
             dict(DACL=inherited, FOLDER=passes), dict(dacl="D:AI(A;ID;FA;;;WD)")),
            ("WRITE_DAC denied, explicit DACL", "create-dac:%d:*" % denied, "new", 1, 0,
             dict(DACL=explicit, FOLDER=passes), dict(dacl="D:P(A;;FA;;;WD)")),
            ("WRITE_DAC denied, protected DACL", "create-dac:%d:*" % denied, "new", 1, 0,
             dict(DACL=protected), dict(dacl="D:P(A;;FA;;;WD)")),
            ("inherited entries the folder no longer passes on", "", "new", 2, 0,
             dict(DACL=inherited, FOLDER=passes + "(A;ID;FA;;;BU)"), dict(dacl="D:P(A;;FA;;;WD)")),
            ("own entries and the folder's", "", "new", 1, 0, dict(DACL=mixed, FOLDER=passes), dict(dacl=mixed)),
            ("own entries and stale inherited ones", "", "new", 2, 0,
             dict(DACL=mixed, FOLDER=passes + "(A;ID;FR;;;AU)"), dict(dacl="D:P(A;;FA;;;BU)(A;;FA;;;WD)")),
            ("protected DACL with the folder's too", "", "new", 1, 0,
             dict(DACL="D:PAI(A;;FA;;;WD)(A;;FR;;;BU)", FOLDER=passes), dict(dacl="D:P(A;;FA;;;WD)(A;;FR;;;BU)")),
            ("null DACL", "", "new", 1, 0, dict(DACL="D:NO_ACCESS_CONTROL", FOLDER=passes),
             dict(dacl="D:PNO_ACCESS_CONTROL")),
            ("FAT: no ACLs to read, set or ask for", "create-dac:%d:*,get-security:%d:*,set-security:%d:*"
             % (denied, denied, denied), "new", 1, 0, dict(VOLUME="FAT32", DACL=world), {}),
            ("volume that can't be asked", "volume-info:1:*", "new", 1, 0, {}, {}),
            ("first open denied", "read-open:%d:*" % denied, "not open", 0, 0, {}, {}),
            ("first open while the file is deleted", "read-open:%s:2" % deleting, "new", 1, sum(PAUSES[:2]), {}, {}),
            ("DELETE denied", "delete-open:%d:*" % denied, "old", 0, 0, {}, {}),
            ("DELETE check while the file is deleted", "delete-open:%s:*" % deleting, "new", 1, 0, {}, {}),
            ("file held at the DELETE check", "delete-open:%d:*" % sharing, "new", 1, 0, {}, {}),
            ("rename held three times", "rename:%d:3" % sharing, "new", 1, sum(PAUSES[:3]), {}, {}),
            ("rename held, their save", "rename:%d:3" % sharing, "theirs", 1, sum(PAUSES[:2]), dict(SAVE=True), {}),
            ("last look unreadable twice", "reread-open:%d:2" % sharing, "new", 1, sum(PAUSES[:2]), {}, {}),
            ("rename denied, removal by name denied", "rename:%d:*,delete-name:%d:*" % (denied, denied), "old", 1,
             sum(PAUSES), {}, {}),
            ("rename made but reported lost", "rename-lost:64:1", "new", 1, 0, {}, {}),
            ("complete name refused", "rename-complete:%d:*" % denied, "old", 1, 0, {}, {}),
            ("rename made but reported lost, final path unknown", "rename-lost:64:1,final-path:6:*", "new", 1, 0, {},
             {}),
            # The target spelled \\?\Z:\... as the original's final path was
            # unknown, the new file's \\?\UNC\...: one file all the same.
            ("rename made but reported lost, target spelled otherwise", "final-path:6:1,rename-lost:64:1", "new", 1,
             0, dict(FINAL_PATH="Z:\\|UNC\\srv\\share\\"), {}),
            # Where the target can't be looked at, the new file is removed by
            # its own name only: after a rename made, that name is gone.
            ("rename made but reported lost, target not to be looked at", "rename-lost:64:1,look-open:64:*", "new",
             1, 0, {}, {}),
            ("rename denied, target not to be looked at", "rename:%d:*,look-open:%d:*" % (denied, denied), "old", 1,
             sum(PAUSES), {}, {}),
            ("rename denied, no file IDs", "rename:%d:*" % denied, "old", 1, sum(PAUSES), dict(FILE_ID="0"), {}),
            # Before any rename over VELNOR.INI the new file is only itself:
            # removed through its handle, where its name may not be deleted.
            ("disk full, no file IDs, no deletion by name", "flush:%d:*,delete-name:%d:*" % (full, denied), "old", 1,
             0, dict(FILE_ID="0"), {}),
            ("rename denied, file IDs not established", "rename:%d:*" % denied, "old", 1, sum(PAUSES),
             dict(FILE_ID="ffffffffffffffff"), {}),
            ("disk full at the flush", "flush:%d:*" % full, "old", 1, 0, {}, {}),
            ("disk full, removal through the handle refused", "flush:%d:*,dispose:%d:*" % (full, denied), "old", 1,
             0, {}, {}),
            ("DACL unreadable", "get-security:%d:*" % denied, "old", 0, 0, {}, {}),
            ("new file refused", "create-new:%d:*" % denied, "old", 0, 0, {}, {}),
            ("merge refused", "set-security:%d:*" % denied, "new", 2, 0, dict(DACL=mixed, FOLDER=passes),
             dict(dacl="D:P(A;;FA;;;BU)(A;;FA;;;WD)")),
            ("creation time refused", "basic-info:%d:*" % bad, "new", 1, 0, {}, {}),
            ("new file's attributes unreadable", "new-file-info:%d:*" % denied, "old", 1, 0, {}, {}),
            ("encrypted, the new file not", "", "old", 1, 0, dict(ATTRIBUTES="4020"), dict(discarded="0")),
            ("encrypted", "", "new", 1, 0, dict(ATTRIBUTES="4020", EFS="1"), dict(attributes="0x4020")),
            ("encrypted, hidden and system", "", "new", 1, 0, dict(ATTRIBUTES="4026", EFS="1"),
             dict(attributes="0x4026")),
            ("plain in an encrypting folder", "", "old", 1, 0, dict(ATTRIBUTES="20", EFS="folder"),
             dict(discarded="0")),
            ("hidden without the archive attribute", "", "new", 1, 0, dict(ATTRIBUTES="2"), dict(attributes="0x22")),
            ("compressed", "", "new", 1, 0, dict(ATTRIBUTES="820"), dict(attributes="0x820")),
            ("compressed, compression refused", "compression:1:*", "new", 1, 0, dict(ATTRIBUTES="820"),
             dict(attributes="0x20")),
        ]
        theirs = os.path.join(self.root, "theirs")
        with open(theirs, "wb") as file:
            file.write(b"Theirs=1\r\n")
        log = os.path.join(self.root, "faults.log")
        for number, (what, faults, after, created, slept, extra, logged) in enumerate(cases):
            with self.subTest(what):
                folder = self.program_folder("Faults%d" % number)
                shutil.copy(os.environ["FAULTY_START_EXE"], os.path.join(folder, "start.exe"))
                old = b"BIBOPATH1=C:\\Old\\BIBO\\\r\n"
                self.write_settings(folder, old)
                env = {"VELNOR_FAULTS": faults, "VELNOR_FAULT_LOG": windows_path(log)}
                env.update({"VELNOR_FAULT_" + name: value for name, value in extra.items()})
                if extra.get("SAVE"):
                    env["VELNOR_FAULT_SAVE"] = windows_path(theirs)
                run = self.launch(folder, env=env, wait_for_record=after != "not open")
                new = b"BIBOPATH1=" + windows_1251(windows_path(folder)) + b"\\BIBO\\\r\n"
                if after == "not open":
                    self.assertEqual((run.status, run.messages), (1, ["File VELNOR.INI not open.\\n"]))
                    self.assertIsNone(run.record, "something was started")
                else:
                    self.assertStarted(run, folder)
                self.assertSettings(folder, dict(old=old, new=new, theirs=b"Theirs=1\r\n").get(after, old))
                counts = self.fault_log(log)
                self.assertEqual((int(counts["created"]), int(counts["slept"])), (created, slept), counts)
                self.assertEqual({key: counts.get(key) for key in logged}, logged)

    def fault_log(self, log):
        with open(log, encoding="utf-8") as file:
            return dict(item.split("=", 1) for item in file.read().split())

    def test_wait_is_bounded_by_the_clock(self):
        # Each rename takes half a second before it reports the file held, as
        # one waiting for an oplock break would: the attempts end once two
        # seconds have passed, not after all of the pauses.
        folder = self.program_folder("Slow")
        shutil.copy(os.environ["FAULTY_START_EXE"], os.path.join(folder, "start.exe"))
        old = b"BIBOPATH1=C:\\Old\\BIBO\\\r\n"
        self.write_settings(folder, old)
        log = os.path.join(self.root, "faults.log")
        run = self.launch(folder, env={"VELNOR_FAULTS": "rename:32:*", "VELNOR_FAULT_RENAME_MS": "500",
                                       "VELNOR_FAULT_LOG": windows_path(log)})
        self.assertStarted(run, folder)
        self.assertSettings(folder, old)
        counts = self.fault_log(log)
        print("renames held 500 ms each: waited %s ms, paused %s ms" % (counts["waited"], counts["slept"]),
              file=sys.stderr)
        self.assertTrue(WAIT_BOUND - 500 <= int(counts["waited"]) < WAIT_BOUND + 600, counts)
        self.assertLess(int(counts["slept"]), sum(PAUSES), counts)

    def network_folder(self):
        """A folder the prefix reaches as \\\\srv\\share\\ and as the mapped drive M:;
        GetFinalPathNameByHandleW answers for both as Windows does for a
        share, \\\\?\\UNC\\srv\\share\\...."""
        share = os.path.join(self.root, "share")
        os.makedirs(share)
        devices = os.path.join(WINE_ENV["WINEPREFIX"], "dosdevices")
        os.makedirs(os.path.join(devices, "unc", "srv"), exist_ok=True)
        for link in (os.path.join(devices, "unc", "srv", "share"), os.path.join(devices, "m:")):
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(share, link)
            self.addCleanup(os.remove, link)
        return share, {"VELNOR_FAULT_FINAL_PATH": "M:\\|UNC\\srv\\share\\"}

    def test_network_folders(self):
        # Started from a share, from a mapped network drive, and by the long
        # form of a share's path, as Wine's own loader and some tools start
        # programs; the elevated start of velnor.exe from a mapped drive goes
        # by the share's name, which the administrator's session reaches.
        # (command as typed, entries' folder or None where they stay, faults,
        # the velnor.exe started)
        share, env = self.network_folder()
        folder = self.program_folder("share", "Tools")
        shutil.copy(os.environ["FAULTY_START_EXE"], os.path.join(folder, "start.exe"))
        env["VELNOR_FAULT_DRIVE"] = "M:=\\\\srv\\share"
        cases = [
            ("\\\\srv\\share\\Tools\\start.exe", "\\\\srv\\share\\Tools\\", "", None),
            ("M:\\Tools\\start.exe", "M:\\Tools\\", "", None),
            ("\\\\?\\UNC\\srv\\share\\Tools\\start.exe", None, "", None),
            ("M:\\Tools\\start.exe", "M:\\Tools\\", "create-process:740:1", "\\srv\\share\\Tools\\velnor.exe"),
            ("M:\\Tools\\start.exe", "M:\\Tools\\", "create-process:740:1,unc-name:1222:*", "M:\\Tools\\velnor.exe"),
        ]
        old = b"BIBOPATH1=C:\\Old\\BIBO\\\r\n"
        for typed, entries, faults, started in cases:
            with self.subTest(typed=typed, faults=faults):
                self.write_settings(folder, old)
                run = self.launch(folder, helper=("start", "1", "-"), typed=typed,
                                  env=dict(env, VELNOR_FAULTS=faults))
                self.assertEqual((run.status, run.messages), (0, []))
                self.assertIsNotNone(run.record, "velnor.exe did not run")
                if started:
                    self.assertTrue(run.record["self"].endswith(started), run.record["self"])
                self.assertSettings(folder, b"BIBOPATH1=" + windows_1251(entries) + b"BIBO\\\r\n" if entries else old)

    def test_interrupted_replacement(self):
        # A replacement cut short between its renames (on FAT, a stick pulled
        # while the system replaces the file) may leave no VELNOR.INI but the
        # complete new file under its complete name: the next start puts it
        # in place, brings it up to date and goes on. A partial file is never
        # taken, nor one of two, nor one beside VELNOR.INI, which is an old
        # leftover, removed once stale. Names are told without case,
        # and the file takes back the name it had. (what, files beside with
        # their content, minutes since they were written, the settings file's
        # name, its content before or None, faults, VELNOR.INI after or None
        # for "not open", files left)
        digits = "0123456789abcdefghijklmnopqrstuvwxyz"[:NUMBERS["randomDigits"]]
        complete, partial = own_name(digits, True), own_name(digits, False)
        second = own_name(digits[:-1] + "0", True)
        old = b"BIBOPATH1=C:\\Old\\BIBO\\\r\n"
        own_case = own_name(digits, True, "Velnor.ini")
        stale = NUMBERS["leftoverAgeSeconds"] // 60 + 1
        cases = [
            ("complete, alone", {complete: old}, 0, "VELNOR.INI", None, "", "new", []),
            ("partial, alone", {partial: old[:10]}, 0, "VELNOR.INI", None, "", None, [partial]),
            ("two complete", {complete: old, second: old}, 0, "VELNOR.INI", None, "", None, [complete, second]),
            ("complete beside VELNOR.INI", {complete: b"Theirs=1\r\n"}, 0, "VELNOR.INI", old, "", "new", [complete]),
            ("restoring refused", {complete: old}, 0, "VELNOR.INI", None, "move:5:*", None, [complete]),
            ("put back by another start first", {complete: old}, 0, "VELNOR.INI", None, "move-raced:2:1", "new", []),
            ("complete, in the case of Velnor.ini", {own_case: old}, 0, "Velnor.ini", None, "", "new", []),
            ("stale, beside velnor.ini", {complete: old, own_case: old}, stale, "velnor.ini", old, "", "new", []),
        ]
        for number, (what, files, minutes, name, before, faults, after, left) in enumerate(cases):
            with self.subTest(what):
                folder = self.program_folder("Interrupted%d" % number)
                shutil.copy(os.environ["FAULTY_START_EXE"], os.path.join(folder, "start.exe"))
                written = time.time() - minutes * 60
                for leftover, content in files.items():
                    with open(os.path.join(folder, leftover), "wb") as file:
                        file.write(content)
                    os.utime(os.path.join(folder, leftover), (written, written))
                if before is not None:
                    with open(os.path.join(folder, name), "wb") as file:
                        file.write(before)
                run = self.launch(folder, env={"VELNOR_FAULTS": faults}, wait_for_record=after is not None)
                names = sorted(os.listdir(folder))
                if after is None:
                    self.assertEqual((run.status, run.messages), (1, ["File VELNOR.INI not open.\\n"]))
                    self.assertEqual(names, sorted(left + ["start.exe", "velnor.exe"]))
                    continue
                self.assertStarted(run, folder)
                self.assertEqual(names, sorted(left + [name, "start.exe", "velnor.exe"]))
                with open(os.path.join(folder, name), "rb") as file:
                    self.assertEqual(file.read(), b"BIBOPATH1=" + windows_1251(windows_path(folder)) + b"\\BIBO\\\r\n")

    def test_settings_file_is_a_link(self):
        # VELNOR.INI as a symbolic link to a file in another folder: the link
        # stays, its target gets the new content, and the new file was made
        # beside the target, so nothing is left in either folder.
        folder = self.program_folder("Linked")
        elsewhere = os.path.join(self.root, "Elsewhere")
        os.makedirs(elsewhere)
        target = os.path.join(elsewhere, "settings.ini")
        with open(target, "wb") as file:
            file.write(b"BIBOPATH1=C:\\Old\\BIBO\\\r\n")
        os.symlink(target, os.path.join(folder, "VELNOR.INI"))
        self.assertStarted(self.launch(folder), folder)
        self.assertEqual(os.readlink(os.path.join(folder, "VELNOR.INI")), target)
        self.assertSettings(folder, b"BIBOPATH1=" + windows_1251(windows_path(folder)) + b"\\BIBO\\\r\n")
        self.assertEqual(os.listdir(elsewhere), ["settings.ini"])

    def test_show_state_is_passed_on(self):
        # (show state the launcher is given, "-" for none; start flags and
        # show state velnor.exe gets, None where none is given)
        cases = [("7", 1, 7), ("3", 1, 3), ("-", 0, None)]
        folder = self.program_folder("Shown")
        self.write_settings(folder, b"Name=x\r\n")
        for show, flags, state in cases:
            with self.subTest(show=show):
                run = self.launch(folder, helper=("start", "1", show))
                self.assertStarted(run, folder)
                self.assertEqual(int(run.record["startflags"]) & 1, flags)
                if state is not None:
                    self.assertEqual(int(run.record["show"]), state)

    def test_another_save_wins(self):
        # The launcher's own rewrite, with another program's save of the file
        # at the last moment before the replacement: that save is kept, and
        # the next rewrite brings it up to date.
        folder = self.program_folder("Saved", standin=False)
        launch_folder = windows_path(folder) + "\\"
        old = b"BIBOPATH1=C:\\Old\\BIBO\\\r\n"
        new = b"BIBOPATH1=" + windows_1251(launch_folder) + b"BIBO\\\r\n"
        theirs = os.path.join(self.root, "theirs")
        with open(theirs, "wb") as file:
            file.write(b"Theirs=1\r\n" + old)
        # (settings before, a save at the last moment, settings after)
        cases = [(old, None, new), (old, theirs, b"Theirs=1\r\n" + old), (b"Theirs=1\r\n" + old, None, b"Theirs=1\r\n" + new)]
        for before, save, after in cases:
            with self.subTest(before=before, save=save):
                settings = self.write_settings(folder, before)
                subprocess.run(["wine", PROBE_EXE, windows_path(settings), launch_folder,
                                *([windows_path(save)] if save else [])],
                               env=WINE_ENV, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=120)
                with open(settings, "rb") as file:
                    self.assertEqual(file.read(), after)
                self.assertEqual(sorted(os.listdir(folder)), ["VELNOR.INI", "start.exe"])

    def test_main_program_is_found_in_the_launcher_folder(self):
        # The working directory holds another velnor.exe, which the system's
        # search would take only after the launcher's own folder; so must
        # the start through the shell that asks for administrator rights,
        # whatever the folder's name holds. (folder, CreateProcessW's fault)
        elsewhere = self.program_folder("Elsewhere")
        for name, faults in [("Suite", ""), ("Semi;colon", "create-process:740:1")]:
            with self.subTest(folder=name, faults=faults):
                folder = self.program_folder(name)
                if faults:
                    shutil.copy(os.environ["FAULTY_START_EXE"], os.path.join(folder, "start.exe"))
                self.write_settings(folder, b"Name=x\r\n")
                run = self.launch(folder, cwd=elsewhere, env={"VELNOR_FAULTS": faults})
                self.assertStarted(run, folder)
                self.assertEqual(run.record["cwd"], windows_path(elsewhere))

    def test_elevated_start_from_a_deep_folder(self):
        # A program folder deeper than MAX_PATH: the launcher finds velnor.exe
        # there for the shell's consent prompt. Wine's own CreateProcessW and
        # ShellExecuteExW stop at MAX_PATH, so the shell's call is only
        # recorded (faulty_start.cpp).
        parts = ["Folder_number_%d" % i for i in range(20)]
        folder = self.program_folder(*parts)
        self.assertGreater(len(windows_path(folder)), 300)
        shutil.copy(os.environ["FAULTY_START_EXE"], os.path.join(folder, "start.exe"))
        self.write_settings(folder, b"Name=x\r\n")
        log = os.path.join(self.root, "faults.log")
        run = self.launch(folder, wait_for_record=False,
                          env={"VELNOR_FAULTS": "create-process:740:1", "VELNOR_FAULT_SHELL": "record",
                               "VELNOR_FAULT_LOG": windows_path(log)})
        self.assertEqual((run.status, run.messages), (0, []))
        self.assertEqual(self.fault_log(log).get("shell"), windows_path(os.path.join(folder, "velnor.exe")))

    def test_extra_arguments_are_not_passed_on(self):
        folder = self.program_folder("Suite")
        with open(os.path.join(folder, "VELNOR.INI"), "wb") as file:
            file.write(b"Name=x\r\n")
        run = self.launch(folder, arguments=["one", "two three", "/x"])
        self.assertStarted(run, folder)
        self.assertEqual(run.record["arguments"], "0")

    def test_main_program_outlives_the_launcher(self):
        folder = self.program_folder("Suite")
        with open(os.path.join(folder, "VELNOR.INI"), "wb") as file:
            file.write(b"Name=x\r\n")
        go = os.path.join(self.root, "go")
        run = self.launch(folder, go=go, wait_for_record=False)
        # The launcher has ended; the stand-in still waits for the go-ahead.
        self.assertEqual((run.status, run.messages, run.record), (0, [], None))
        open(go, "w").close()
        record = self.read_record(timeout=30)
        self.assertIsNotNone(record, "velnor.exe did not go on after the launcher ended")
        self.assertEqual(record["self"], windows_path(os.path.join(folder, "velnor.exe")))


def resource(image, sections, type_id, name_id):
    """The bytes of a resource by numeric type and name, first language."""
    rsrc = next((s for s in sections if s[0] == b".rsrc"), None)
    if rsrc is None:
        return None
    _, virtual_address, raw_offset = rsrc

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, raw_offset + directory + 12)
        at = raw_offset + directory + 16
        return [struct.unpack_from("<II", image, at + 8 * i) for i in range(named + numbered)]

    def child(directory, wanted):
        for name, offset in entries(directory):
            if wanted is None or name == wanted:
                return offset & 0x7FFFFFFF
        return None

    level = child(0, type_id)
    level = level is not None and child(level, name_id)
    data = level and child(level, None)
    if not data:
        return None
    rva, size = struct.unpack_from("<II", image, raw_offset + data)
    start = raw_offset + rva - virtual_address
    return image[start:start + size]


class PeCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(START_EXE, "rb") as file:
            cls.image = file.read()
        pe = struct.unpack_from("<I", cls.image, 0x3C)[0]
        cls.pe = pe
        count = struct.unpack_from("<H", cls.image, pe + 6)[0]
        optional_size = struct.unpack_from("<H", cls.image, pe + 20)[0]
        table = pe + 24 + optional_size
        cls.sections = []
        for i in range(count):
            name, _, address, _, raw = struct.unpack_from("<8sIIII", cls.image, table + 40 * i)
            cls.sections.append((name.rstrip(b"\0"), address, raw))

    def test_header(self):
        self.assertEqual(self.image[self.pe:self.pe + 4], b"PE\0\0")
        machine = struct.unpack_from("<H", self.image, self.pe + 4)[0]
        magic, = struct.unpack_from("<H", self.image, self.pe + 24)
        subsystem, = struct.unpack_from("<H", self.image, self.pe + 24 + 68)
        self.assertEqual((machine, magic, subsystem), (0x14C, 0x10B, 2), "i386, PE32, Windows GUI")

    def test_manifest(self):
        embedded = resource(self.image, self.sections, 24, 1)
        with open(MANIFEST, "rb") as file:
            self.assertEqual(embedded, file.read())
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3"}
        root = ElementTree.fromstring(embedded)
        level = root.find("v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel", ns)
        self.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})
        dependencies = root.findall("v1:dependency/v1:dependentAssembly/v1:assemblyIdentity", ns)
        self.assertEqual([d.attrib for d in dependencies], [{
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}])
        # Windows Vista, 7, 8, 8.1 and 10 or 11, as Microsoft's "Application
        # manifests" page lists them; long paths where the system allows them.
        compatibility = "{urn:schemas-microsoft-com:compatibility.v1}"
        supported = root.findall("%scompatibility/%sapplication/%ssupportedOS" % ((compatibility,) * 3))
        self.assertEqual([os_.attrib["Id"] for os_ in supported], [
            "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"])
        aware = root.find("v3:application/v3:windowsSettings/"
                          "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}longPathAware", ns)
        self.assertEqual(aware.text, "true")

    def test_version_resource(self):
        version = resource(self.image, self.sections, 16, 1)
        self.assertIsNotNone(version)
        for key in ("ProductName", "FileDescription", "FileVersion", "ProductVersion"):
            self.assertIn(key.encode("utf-16-le"), version)

    def test_imports_only_system_dlls(self):
        dump = subprocess.run([OBJDUMP, "-p", START_EXE], capture_output=True, text=True, check=True).stdout
        imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertIn("kernel32.dll", imports)
        self.assertEqual(imports - KNOWN_DLLS, set())


if __name__ == "__main__":
    unittest.main(verbosity=2)
