"""Tests of the release's installer under Wine: resources/marvane.wxs built by
scripts/release-pack, as scripts/release builds it, but around the mingw-x86_64 programs (the
test command's Wine is 64-bit only; the release's own i686 programs run under
scripts/run-i686). Each scenario starts from a prefix that never had the package, a copy of
one made by tests/wine/wine-run --setup: install, its shortcuts, the command prompt entry,
the "Apps and features" entry, the images folder, upgrades to test-only later versions (the
fourth field bumped, then the third) and removal in one prefix; the next version, then the
older one refused, then removal, in another. Beside them, the checksum commands of the READMEs
over a zip alone and an installer alone, and the programs' version blocks.

    MARVANE_X86_64_BUILD=build/mingw-x86_64 /usr/bin/python3 tests/release/test_release_msi.py
"""

import glob
import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

from packing import ROOT, pack

BUILD = os.path.abspath(os.environ.get("MARVANE_X86_64_BUILD",
                                       os.path.join(ROOT, "build", "mingw-x86_64")))
PROGRAMS = [os.path.join(BUILD, "ui", "marvane.exe"),
            os.path.join(BUILD, "send", "marvane-send.exe")]
INSTALLED = "drive_c/Program Files (x86)/Marvane"
IMAGES = "drive_c/ProgramData/Marvane"  # C:\\ProgramData, Windows' data of all users
UNINSTALL = r"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
EPOCH = 1733650000
IMAGE = bytes(range(256)) * 10  # a technician's POS.BIN
work = None  # the module's folder: the packages and the prefixes


def version_of(build):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", f.read(), re.M).group(1)


def build_package(version, out=None, commit="test", signer=None):
    """The zip and the installer of the x86_64 programs at that version: (zip, msi)."""
    class Args:
        epoch, guide = EPOCH, os.path.join(ROOT, "docs", "guide.md")
    args = Args()
    args.version, args.programs, args.commit, args.sign = version, PROGRAMS, commit, signer
    args.out = os.path.join(work, out or "dist-" + version)
    zip_path = pack.pack(args)
    return zip_path, zip_path[:-len(".zip")] + ".msi"


def properties(msi_path):
    """The package's Property table, as Windows Installer reads it (msiinfo)."""
    out = subprocess.run(["msiinfo", "export", msi_path, "Property"], check=True,
                         capture_output=True, text=True).stdout
    return dict(line.split("\t", 1) for line in out.splitlines()[3:])


def version_block(path):
    """A program's version block: its fixed part's file version, and its strings (each a
    UTF-16 name, its terminator and padding, then the value)."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.index("VS_VERSION_INFO".encode("utf-16-le"))
    ms, ls = struct.unpack_from("<II", data, data.index(b"\xbd\x04\xef\xfe", at) + 8)
    strings = re.findall(r"(FileDescription|FileVersion|InternalName|OriginalFilename|"
                         r"ProductName|ProductVersion)\0+([^\0]*)",
                         data[at:].decode("utf-16-le", "replace"))
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), dict(strings)


def packed(guid):
    """A GUID as Windows Installer's registry keys spell it (each part's digits reversed)."""
    g = guid.strip("{}").replace("-", "").upper()
    parts = [g[0:8], g[8:12], g[12:16]] + [g[i:i + 2] for i in range(16, 32, 2)]
    return "".join(p[::-1] for p in parts)


def shortcut(path):
    """The target, working folder and arguments of a .lnk file (MS-SHLLINK): the LinkInfo's
    local path and the StringData that Wine's shell writes."""
    with open(path, "rb") as f:
        data = f.read()
    flags = struct.unpack_from("<I", data, 20)[0]
    at = 76
    if flags & 0x01:  # HasLinkTargetIDList
        at += 2 + struct.unpack_from("<H", data, at)[0]
    target = None
    if flags & 0x02:  # HasLinkInfo
        size = struct.unpack_from("<I", data, at)[0]
        base = struct.unpack_from("<I", data, at + 16)[0]
        target = data[at + base:data.index(b"\0", at + base)].decode("mbcs"
                                                                       if os.name == "nt"
                                                                       else "latin-1")
        at += size
    strings = {}
    for bit, name in ((0x04, "name"), (0x08, "relative"), (0x10, "folder"),
                      (0x20, "arguments"), (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, at)[0]
            strings[name] = data[at + 2:at + 2 + 2 * count].decode("utf-16-le").rstrip("\0")
            at += 2 + 2 * count
    return target, strings.get("folder"), strings.get("arguments", "")


def registry_sections(path):
    """A Wine registry file as {key: text of its values}."""
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    sections = {}
    for m in re.finditer(r"^\[(.*?)\] \d+\n(.*?)(?=^\[|\Z)", text, re.M | re.S):
        sections[m.group(1)] = m.group(2)
    return sections


def all_files(top):
    found = set()
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(folder, name), top))
    return found


class Prefix:
    """A copy of the module's fresh prefix, with its own wineserver."""

    def __init__(self, name):
        self.path = os.path.join(work, name)
        base = os.path.join(work, "wine", "prefix")
        # Hard links: Wine adds files and replaces its registry files, it does not write into
        # the ones it has; the registry is copied all the same.
        subprocess.run(["cp", "-al", base, self.path], check=True)
        for reg in ("system.reg", "user.reg", "userdef.reg"):
            os.remove(os.path.join(self.path, reg))
            shutil.copy2(os.path.join(base, reg), os.path.join(self.path, reg))
        with open(os.path.join(work, "wine", "display")) as f:
            display = f.read().strip()
        # No menu entries of the prefix's on this machine's desktop (winemenubuilder).
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", DISPLAY=display,
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        self.before = all_files(os.path.join(self.path, "drive_c"))

    def run(self, *args, stdin=None, cwd=None):
        return subprocess.run(["wine"] + list(args), env=self.env, input=stdin, cwd=cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)

    def msiexec(self, *args):
        return self.run("msiexec", *args).returncode

    def remove_as_the_guide_says(self):
        """The guide's removal line, typed into a command prompt."""
        with open(os.path.join(ROOT, "docs", "guide.md"), encoding="utf-8") as f:
            line = re.search(r"^    (for /f .* msiexec /x .*)$", f.read(), re.M).group(1)
        self.run("cmd", "/k", "rem", stdin=(line + "\r\nexit\r\n").encode())
        # Wine's cmd leaves the for's command output in a file of its own; Windows' pipes it.
        for left in glob.glob(os.path.join(self.path, "drive_c/users/*/Temp/CMD*.tmp")):
            os.remove(left)

    def registry(self):
        """system.reg once the server has written it (it does so as it stops)."""
        subprocess.run(["wineserver", "-k"], env=self.env)
        subprocess.run(["wineserver", "-w"], env=self.env)
        return registry_sections(os.path.join(self.path, "system.reg"))

    def entries(self):
        """The "Apps and features" entries named Marvane: {key: values}."""
        return {key: values for key, values in self.registry().items()
                if key.startswith(UNINSTALL) and '"DisplayName"="Marvane"' in values}

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env)


def setUpModule():
    global work, VERSION, NEXT, LATER, PACKAGES
    missing = [p for p in PROGRAMS if not os.path.isfile(p)]
    if missing:
        raise unittest.SkipTest("no mingw-x86_64 programs (%s): set MARVANE_X86_64_BUILD"
                                % ", ".join(missing))
    work = tempfile.mkdtemp(prefix="msi-tests-")
    VERSION = version_of(BUILD)
    major, minor, patch, build = VERSION.split(".")
    # Later versions for the tests only: the fourth field bumped (Windows Installer itself
    # compares three), then the third, the fourth back to 0.
    NEXT = "%s.%s.%s.%d" % (major, minor, patch, int(build) + 1)
    LATER = "%s.%s.%d.0" % (major, minor, int(patch) + 1)
    PACKAGES = {v: build_package(v) for v in (VERSION, NEXT, LATER)}
    env = dict(os.environ, MARVANE_WINE_DIR=os.path.join(work, "wine"))
    subprocess.run([os.path.join(ROOT, "tests", "wine", "wine-run"), "--setup"], env=env,
                   check=True, stdout=subprocess.DEVNULL)
    # The prefix is copied as it rests: its server stopped, the registry written.
    subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=os.path.join(work, "wine",
                                                                               "prefix")))
    subprocess.run(["wineserver", "-w"], env=dict(env, WINEPREFIX=os.path.join(work, "wine",
                                                                               "prefix")))


def tearDownModule():
    if work and os.path.isdir(work):
        env = dict(os.environ, MARVANE_WINE_DIR=os.path.join(work, "wine"))
        subprocess.run([os.path.join(ROOT, "tests", "wine", "wine-run"), "--cleanup"], env=env)
        shutil.rmtree(work, ignore_errors=True)


class InstallUpgradeRemove(unittest.TestCase):
    """One prefix, in order: install, look at it, upgrade, remove."""
    folder = r"C:\Program Files (x86)\Marvane"  # where the first install puts the programs
    options = ()

    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix(cls.__name__)
        cls.installed = os.path.join(cls.prefix.path, "drive_c", *cls.folder[3:].split("\\"))
        # The folder above the programs' is there before: Program Files, or the IT
        # department's own.
        os.makedirs(os.path.dirname(cls.installed), exist_ok=True)
        cls.prefix.before = all_files(os.path.join(cls.prefix.path, "drive_c"))
        zip_path, msi_path = PACKAGES[VERSION]
        cls.status = cls.prefix.msiexec("/i", msi_path, "/qn", *cls.options)

    @classmethod
    def tearDownClass(cls):
        cls.prefix.stop()

    def shortcuts(self):
        found = {}
        for folder, _, files in os.walk(os.path.join(self.prefix.path, "drive_c")):
            for name in files:
                if name.endswith(".lnk") and os.path.basename(folder) == "Marvane":
                    found[name[:-4]] = os.path.join(folder, name)
        return found

    def unix(self, windows_path):
        """A C:\\ path of the prefix as this machine's path, its names found as Windows
        finds them, whatever their case."""
        self.assertRegex(windows_path, r"^[Cc]:\\")
        path = os.path.join(self.prefix.path, "drive_c")
        for name in filter(None, windows_path[3:].split("\\")):
            names = os.listdir(path) if os.path.isdir(path) else []
            path = os.path.join(path, next((n for n in names if n.lower() == name.lower()),
                                           name))
        return path

    def test_1_a_quiet_install_puts_each_file_in_place_with_the_zips_bytes(self):
        self.assertEqual(0, self.status)
        zip_path, _ = PACKAGES[VERSION]
        with zipfile.ZipFile(zip_path) as z:
            names = [n.split("/", 1)[1] for n in z.namelist()]
            self.assertEqual(sorted(names), sorted(os.listdir(self.installed)))
            for name in names:
                with open(os.path.join(self.installed, name), "rb") as f:
                    self.assertEqual(hashlib.sha256(z.read("marvane-%s/%s" % (VERSION, name)))
                                     .hexdigest(), hashlib.sha256(f.read()).hexdigest(), name)
        # The images' folder is there, empty, outside Program Files.
        self.assertEqual([], os.listdir(os.path.join(self.prefix.path, IMAGES)))

    def test_2_the_start_menu_shortcuts_resolve(self):
        def real(windows_path):
            path = windows_path and os.path.realpath(self.unix(windows_path))
            self.assertTrue(not path or os.path.exists(path), windows_path)
            return path
        found = {}
        for name, link in self.shortcuts().items():
            target, folder, arguments = shortcut(link)
            # The command prompt's: the folder it puts on the PATH, for marvane-send.
            found[name] = (real(target), real(folder),
                           real(re.sub(r"^/k path (.*);%PATH%$", r"\1", arguments)))
        images, there = (os.path.realpath(os.path.join(self.prefix.path, p))
                         for p in (IMAGES, self.installed))
        # What each entry starts, the folder it starts in.
        self.assertEqual({"Marvane": (there + "/marvane.exe", images, ""),
                          "Marvane images": (images, None, ""),
                          "Marvane guide": (there + "/guide.html", there, ""),
                          "Marvane command prompt": (real(r"C:\windows\system32\cmd.exe"),
                                                     images, there)}, found)

    def test_3_marvane_send_runs_by_its_name_in_the_command_prompt_entry(self):
        target, folder, arguments = shortcut(self.shortcuts()["Marvane command prompt"])
        # The entry's own console, fed its first line; /k reads on to the end of its input.
        # The arguments hold no quotes: split at the spaces, Wine joins them back as they were.
        out = self.prefix.run(target, *arguments.split(" "),
                              stdin=b"marvane-send --version\r\nexit\r\n",
                              cwd=self.unix(folder)).stdout.decode("utf-8", "replace")
        self.assertNotIn('"', arguments)
        self.assertRegex(out, r"marvane-send %s" % re.escape(VERSION))

    def test_3_marvane_send_in_its_install_folder_names_the_images_folder(self):
        send = lambda cwd: self.prefix.run(self.folder + r"\marvane-send.exe",
                                           "--check", "--no-port", "--pump1", "gilbarco",
                                           cwd=cwd).stdout.decode("utf-8", "replace")
        self.assertIn('C:\\ProgramData\\Marvane: start the "Marvane command prompt" entry,\r\n'
                      '  which opens there, or add --dir "C:\\ProgramData\\Marvane".',
                      send(self.installed))
        self.assertNotIn("--dir", send(os.path.join(self.prefix.path, IMAGES)))

    def test_3_the_version_blocks_of_the_installed_programs(self):
        # marvane.exe's is the program's own: its version, "Marvane" in every name;
        # marvane-send.exe has one of its own, at the same version, with its own description.
        block = lambda name: version_block(os.path.join(self.installed, name))
        self.assertEqual((VERSION, dict(FileDescription="Marvane", FileVersion=VERSION,
                                        InternalName="Marvane", OriginalFilename="marvane.exe",
                                        ProductName="Marvane", ProductVersion=VERSION)),
                         block("marvane.exe"))
        fixed, send = block("marvane-send.exe")
        self.assertEqual((VERSION, VERSION, VERSION, "marvane-send.exe"),
                         (fixed, send["FileVersion"], send["ProductVersion"],
                          send["OriginalFilename"]))
        self.assertNotIn(send.get("FileDescription", ""), ("", "Marvane"))

    def test_4_the_apps_and_features_entry(self):
        entries = self.prefix.entries()
        self.assertEqual(1, len(entries), entries)
        values = list(entries.values())[0]
        package = properties(PACKAGES[VERSION][1])
        self.assertIn('"DisplayVersion"="%s"' % package["ProductVersion"], values)
        self.assertIn('"Comments"="Release %s"' % VERSION, values)
        self.assertIn('"Publisher"="Marvane"', values)
        self.assertIn('"HelpLink"="%s\\\\guide.html"' % self.folder.replace("\\", "\\\\"), values)
        code = list(entries)[0].rsplit("\\", 1)[1]
        self.assertEqual(package["ProductCode"], code)
        icon = re.search(r'"ProductIcon"="(.*)"',
                         self.prefix.registry()[r"Software\\Classes\\Installer\\Products\\" +
                                                packed(code)]).group(1)
        with open(self.unix(icon.replace("\\\\", "\\")), "rb") as f, \
                open(pack.ICON, "rb") as g:
            self.assertEqual(g.read(), f.read())

    def upgrade_to(self, version):
        """Installs that version over the one in place: one entry, at that release, every
        file in place, the technician's image untouched."""
        image = os.path.join(self.prefix.path, IMAGES, "POS.BIN")
        if not os.path.exists(image):
            with open(image, "wb") as f:
                f.write(IMAGE)
        zip_path, msi_path = PACKAGES[version]
        self.assertEqual(0, self.prefix.msiexec("/i", msi_path, "/qn"))
        entries = self.prefix.entries()
        self.assertEqual(1, len(entries), entries)
        self.assertIn('"Comments"="Release %s"' % version, list(entries.values())[0])
        with zipfile.ZipFile(zip_path) as z:
            self.assertEqual(sorted(n.split("/", 1)[1] for n in z.namelist()),
                             sorted(os.listdir(self.installed)))
        with open(os.path.join(self.installed, "README.txt"), "rb") as f:
            self.assertIn(("Marvane %s for Windows" % version).encode(), f.read())
        self.assertEqual(4, len(self.shortcuts()))
        with open(image, "rb") as f:
            self.assertEqual(IMAGE, f.read())

    def test_5_a_release_later_in_the_fourth_field_upgrades_in_place(self):
        self.upgrade_to(NEXT)

    def test_6_a_release_later_in_the_third_field_upgrades_in_place(self):
        self.upgrade_to(LATER)

    def test_7_removal_leaves_nothing_of_ours_but_the_images(self):
        codes = [properties(msi)["ProductCode"] for _, msi in PACKAGES.values()]
        self.prefix.remove_as_the_guide_says()  # after two upgrades: the third release's code
        sections = self.prefix.registry()
        ours = [key for key, values in sections.items()
                if re.search(r"(?i)marvane", key + values) or
                any(g in key + values for g in
                    codes + [packed(c) for c in codes] + [packed(str(pack.UPGRADE_CODE))])]
        self.assertEqual([], ours)
        new = all_files(os.path.join(self.prefix.path, "drive_c")) - self.prefix.before
        self.assertEqual({"ProgramData/Marvane", "ProgramData/Marvane/POS.BIN"},
                         {p for p in new if not p.startswith("windows/Installer")} |
                         {p for p in new if re.search(r"(?i)marvane|\.msi$|\.ico$", p)})
        with open(os.path.join(self.prefix.path, IMAGES, "POS.BIN"), "rb") as f:
            self.assertEqual(IMAGE, f.read())


class OlderOverNewer(unittest.TestCase):
    def test_an_older_package_is_refused_and_an_empty_images_folder_goes_with_removal(self):
        prefix = Prefix("downgrade")
        try:
            self.assertEqual(0, prefix.msiexec("/i", PACKAGES[NEXT][1], "/qn"))
            # Refused by the launch condition that carries the message: the newer one is
            # found (its product code in WIX_DOWNGRADE_DETECTED), and the condition fails.
            log = os.path.join(prefix.path, "refused.log")
            self.assertNotEqual(0, prefix.msiexec("/i", PACKAGES[VERSION][1], "/qn",
                                                  "/l*v", log))
            with open(log, encoding="utf-8", errors="replace") as f:
                self.assertIn("WIX_DOWNGRADE_DETECTED = %s"
                              % properties(PACKAGES[NEXT][1])["ProductCode"], f.read())
            conditions = subprocess.run(["msiinfo", "export", PACKAGES[VERSION][1],
                                         "LaunchCondition"], capture_output=True, text=True)
            self.assertIn("NOT WIX_DOWNGRADE_DETECTED\tA later version of Marvane is already "
                          "installed. Remove it first to install this one.", conditions.stdout)
            entries = prefix.entries()
            self.assertEqual(1, len(entries), entries)
            self.assertIn('"Comments"="Release %s"' % NEXT, list(entries.values())[0])
            with open(os.path.join(prefix.path, INSTALLED, "README.txt"), "rb") as f:
                self.assertIn(("Marvane %s for Windows" % NEXT).encode(), f.read())
            self.assertTrue(os.path.isdir(os.path.join(prefix.path, IMAGES)))
            self.assertEqual(0, prefix.msiexec("/x", PACKAGES[NEXT][1], "/qn"))
            self.assertFalse(os.path.exists(os.path.join(prefix.path, IMAGES)))
        finally:
            prefix.stop()


class InstallUpgradeRemoveInAChosenFolder(InstallUpgradeRemove):
    """The same in a folder chosen at the first install only: every later release goes there."""
    folder = r"C:\Station Tools (x86)\Marvane"
    options = ("INSTALLDIR=" + folder,)


class Packages(unittest.TestCase):
    """What holds of the packages themselves, installed nowhere."""

    def test_product_codes_follow_the_version_and_the_upgrade_code_never_changes(self):
        # Rebuilt from another commit: the same version, other contents, the same product.
        first, again, later = (properties(msi) for msi in (
            PACKAGES[VERSION][1], build_package(VERSION, "again", "other")[1],
            PACKAGES[NEXT][1]))
        self.assertEqual(first["ProductCode"], again["ProductCode"])
        self.assertNotEqual(first["ProductCode"], later["ProductCode"])
        self.assertEqual({first["UpgradeCode"]}, {again["UpgradeCode"], later["UpgradeCode"]})

    def test_signed_when_given_a_certificate_the_same_bytes_each_time(self):
        folder = tempfile.mkdtemp(dir=work)
        key, cert, pfx = (os.path.join(folder, n) for n in ("key.pem", "cert.pem", "a.pfx"))
        # A throwaway certificate for signing code, with its key in a PKCS#12 file.
        for command in ("req -x509 -newkey rsa:2048 -nodes -keyout %s -out %s -days 2 -subj "
                        "/CN=Marvane-test -addext extendedKeyUsage=codeSigning" % (key, cert),
                        "pkcs12 -export -in %s -inkey %s -out %s -passout pass:test"
                        % (cert, key, pfx)):
            subprocess.run(["openssl"] + command.split(), check=True, capture_output=True)
        sums = []
        for out in ("signed", "signed-again"):
            zip_path, msi_path = build_package(VERSION, out, signer=(pfx, "test"))
            with open(os.path.join(work, out, "SHA256SUMS")) as f:
                sums.append(f.read())
        self.assertEqual(sums[0], sums[1])  # the same bytes, file by file
        zipfile.ZipFile(zip_path).extractall(folder)
        for path in [msi_path] + glob.glob(os.path.join(folder, "*", "*.exe")):
            check = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                                   capture_output=True, text=True)
            self.assertIn("Signature verification: ok", check.stdout, path)
            with open(path, "rb") as f:
                self.assertIn(hashlib.sha256(f.read()).hexdigest(), sums[0])
        # Without a certificate the programs go in as built.
        with zipfile.ZipFile(PACKAGES[VERSION][0]) as z, open(PROGRAMS[1], "rb") as f:
            self.assertEqual(f.read(), z.read("marvane-%s/marvane-send.exe" % VERSION))

    def test_every_checksum_command_of_the_readmes_works_beside_one_package(self):
        zip_path, msi_path = PACKAGES[VERSION]
        with zipfile.ZipFile(zip_path) as z, open(os.path.join(ROOT, "README.md")) as f:
            names = z.namelist()
            text = z.read(names[-1]).decode("ascii") + f.read()  # README.txt, README.md
        # Every indented line with sha256sum in it, up to its comment.
        commands = re.findall(r"^ +([^#(\r\n]*sha256sum[^#(\r\n]*?) *(?:[#(].*)?\r?$", text,
                              re.M)
        self.assertEqual(2, len(commands), commands)
        for package, unzip in ((zip_path, False), (zip_path, True), (msi_path, False)):
            folder = tempfile.mkdtemp(dir=work)
            for path in (package, os.path.join(os.path.dirname(zip_path), "SHA256SUMS")):
                shutil.copy(path, folder)
            if unzip:
                zipfile.ZipFile(package).extractall(folder)
            for command in commands:
                run = subprocess.run(["bash", "-c", command], cwd=folder, capture_output=True,
                                     text=True)
                self.assertEqual((0, 1 + unzip * len(names)),
                                 (run.returncode, run.stdout.count(": OK\n")),
                                 (command, package, unzip, run.stdout, run.stderr))


if __name__ == "__main__":
    unittest.main()
