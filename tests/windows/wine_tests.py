#!/usr/bin/env python3
"""Checks the built start.exe: the file itself (PE header, manifest, imports)
and its behaviour under Wine against a stand-in velnor.exe.

Paths come from the environment that ctest sets: START_EXE, STANDIN_EXE,
MANIFEST, OBJDUMP, WINEPREFIX."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

START_EXE = os.environ.get("START_EXE", "")
STANDIN_EXE = os.environ.get("STANDIN_EXE", "")
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

# DLLs that come with every Windows; anything else would have to be shipped.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll", "kernel32.dll",
    "mpr.dll", "msvcrt.dll", "netapi32.dll", "ole32.dll", "oleaut32.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "userenv.dll", "uxtheme.dll", "version.dll", "winmm.dll",
    "ws2_32.dll", "dwmapi.dll", "imm32.dll", "wtsapi32.dll", "secur32.dll", "dnsapi.dll",
    "iphlpapi.dll",
}

MESSAGE = re.compile(r'OutputDebugString[AW] "(.*)"$')


def windows_path(path):
    """The path as Wine's Z: drive shows a host path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def windows_1251(text):
    return text.encode("cp1251")


class Run:
    def __init__(self, status, messages, record):
        self.status = status
        self.messages = messages
        self.record = record


class StartUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        prefix = WINE_ENV["WINEPREFIX"]
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            subprocess.run(["wineboot", "--init"], env=WINE_ENV, check=True, timeout=900,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=WINE_ENV, timeout=900)

    def setUp(self):
        # Only characters an entry's folder may hold, so that entries written
        # here are recognised again.
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

    def launch(self, folder, arguments=(), cwd=None, go=None, wait_for_record=True, locale=None, typed=None):
        # A record left by an earlier start must not pass for this one.
        if os.path.exists(self.record):
            os.remove(self.record)
        env = dict(WINE_ENV, VELNOR_STANDIN_RECORD=windows_path(self.record))
        if locale:
            env.update(LANG=locale, LC_ALL=locale)
        if go:
            env["VELNOR_STANDIN_GO"] = windows_path(go)
        # A file, not a pipe: the main program and the wineserver inherit the
        # launcher's standard error and would hold a pipe open.
        with tempfile.TemporaryFile() as log:
            # wine itself hands a program its full path; cmd passes on the
            # command as typed.
            command = ["cmd", "/c", typed] if typed else [os.path.join(folder, "start.exe")]
            result = subprocess.run(["wine", *command, *arguments],
                                    cwd=cwd or folder, env=env, stdout=subprocess.DEVNULL, stderr=log,
                                    timeout=300)
            log.seek(0)
            output = log.read().decode("utf-8", "replace")
        messages = []
        for line in output.splitlines():
            match = MESSAGE.search(line)
            if match:
                messages.append(match.group(1))
        record = self.read_record(timeout=30 if wait_for_record else 0)
        return Run(result.returncode, messages, record)

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
            # Cyrillic folder names reach the launcher in the ANSI code page.
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
            # The own path is read as Windows-1251 whatever the system's code
            # page: the é that an English system (code page 1252) passes
            # comes out as й, and the path names no file.
            ("letter outside Windows-1251", "Café", "C.UTF-8", True, True, "File VELNOR.INI not open.\\n"),
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

    def test_main_program_is_found_in_the_launcher_folder(self):
        folder = self.program_folder("Suite")
        with open(os.path.join(folder, "VELNOR.INI"), "wb") as file:
            file.write(b"Name=x\r\n")
        # The working directory holds another velnor.exe, which the system's
        # search would take only after the launcher's own folder.
        elsewhere = self.program_folder("Elsewhere")
        run = self.launch(folder, cwd=elsewhere)
        self.assertStarted(run, folder)
        self.assertEqual(run.record["cwd"], windows_path(elsewhere))

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

    def test_version_resource(self):
        version = resource(self.image, self.sections, 16, 1)
        self.assertIsNotNone(version)
        for key in ("ProductName", "FileDescription", "FileVersion", "ProductVersion"):
            self.assertIn(key.encode("utf-16-le"), version)

    def test_imports_only_system_dlls(self):
        dump = subprocess.run([OBJDUMP, "-p", START_EXE], capture_output=True, text=True, check=True).stdout
        imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertIn("kernel32.dll", imports)
        self.assertEqual(imports - SYSTEM_DLLS, set())


if __name__ == "__main__":
    unittest.main(verbosity=2)
