#!/usr/bin/env python3
"""The installer packages under Wine, in prefixes of their own made afresh.

On 64-bit Windows: the x64 package installs both builds, whose tools create
the classes through their registration and answer as a copied DLL does; the
package writes the registry entries regsvr32 writes, no more and no fewer; a
newer package replaces the installed one; uninstalling leaves no file, key
or value of ours and every key it found as it was. The x86 package is
refused there, and an x86 package that an earlier release let on is replaced
by the x64 one. On 32-bit Windows: the x86 package the same way, and the
x64 package refused.

    package_test.py SOURCE_ROOT BUILD_ROOT PREFIX     (PREFIX-win32 beside it)
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winetest import Checks, Prefix, windows  # noqa: E402

root, build_root, prefix_path = sys.argv[1:4]
packages = os.path.join(build_root, "packages")
check = Checks()
win64 = Prefix(prefix_path)
win32 = Prefix(prefix_path + "-win32", "win32")

# Where each build goes, (Windows path, path below the C: drive): on 64-bit
# Windows, then on 32-bit Windows.
FOLDERS = {"x64": ("C:\\Program Files\\Tessary", "Program Files/Tessary"),
           "x86": ("C:\\Program Files (x86)\\Tessary", "Program Files (x86)/Tessary")}
FOLDERS_32 = {"x86": FOLDERS["x64"]}
with open(os.path.join(build_root, "x64", "version.txt")) as f:
    VERSION = f.read().strip()


def views(prefix):
    """The registry views a tool is told to see: both on 64-bit Windows."""
    return ["/reg:64", "/reg:32"] if prefix is win64 else [None]


def msiexec(prefix, *args):
    package = args[-1]
    return prefix.wine("msiexec", *args[:-1], windows(package), "/qn")[0]


# --- Snapshots -------------------------------------------------------------------
def registry(prefix):
    """Both hives as {(key, value name or None): data}, key and name lower case."""
    entries = {}
    for hive in ("HKLM", "HKCU"):
        view = ["/reg:64"] if prefix is win64 else []
        code = prefix.wine("reg", "export", hive, "C:\\snapshot.reg", *view, "/y")[0]
        check(code == 0, f"reg export {hive} exited {code}")
        with open(prefix.unix("snapshot.reg"), encoding="utf-16") as f:
            text = f.read().replace("\\\n  ", "")
        os.remove(prefix.unix("snapshot.reg"))
        key = None
        for line in text.splitlines():
            if line.startswith("[") and line.endswith("]"):
                key = line[1:-1].lower()
                entries[(key, None)] = None
            elif key and (match := re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)):
                entries[(key, match.group(1).lower())] = match.group(2)
    return entries


def files(prefix):
    listed = set()
    for folder, _, names in os.walk(prefix.unix("")):
        listed.update(os.path.relpath(os.path.join(folder, n), prefix.path).lower() for n in names)
    return listed


# Written by Windows Installer for itself, by Wine at any time, or by the
# snapshots themselves: not the package's entries.
NOISE = re.compile(r"hkey_local_machine\\software\\(wow6432node\\)?classes\\installer(\\|$)|"
                   r"hkey_local_machine\\software\\(wow6432node\\)?microsoft\\windows\\currentversion\\"
                   r"(installer|uninstall)\\|\\software\\wine\\|hkey_local_machine\\system\\|"
                   r"\\software\\microsoft\\windows\\currentversion\\explorer\\|"
                   r"\\software\\microsoft\\(cryptography|windows nt\\currentversion\\perflib)")
FILE_NOISE = re.compile(r"drive_c/(windows/(installer|temp|syswow64/.*\.log)|users/[^/]*/(temp|appdata/local/temp))")


def changes(before, after, noise=True):
    """What after adds, drops or changes against before, outside the noise."""
    keys = {k for k in before.keys() | after.keys()
            if before.get(k, "<missing>") != after.get(k, "<missing>")
            or (k in before) != (k in after)}
    return {k: (before.get(k, "<missing>") if k in before else "<missing>",
                after.get(k, "<missing>") if k in after else "<missing>")
            for k in keys if not (noise and NOISE.search(k[0]))}


def classes(diff):
    """Changes under the class keys, both views."""
    return {k: v for k, v in diff.items() if "\\software\\classes\\" in k[0] + "\\"}


def show(diff, limit=8):
    return "; ".join(f"{k[0]} {k[1]}: {v[0]} -> {v[1]}" for k, v in sorted(diff.items(), key=str)[:limit])


def file_version(path):
    """The fixed version of a PE file's version resource, as text."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def installed_products(prefix):
    """The DisplayVersion of each Uninstall entry named Tessary, every view."""
    found = set()
    for view in views(prefix):
        _, out = prefix.wine("reg", "query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                             "/s", *([view] if view else []))
        for block in out.split("\n\n"):
            values = dict(re.findall(r"^[ \t]+(\S+)[ \t]+REG_\w+[ \t]*(.*)$", block, re.M))
            if values.get("DisplayName") == "Tessary":
                found.add((block.strip().splitlines()[0], values.get("DisplayVersion")))
    return sorted(version for _, version in found)


# --- Registry text as the packages write it ------------------------------------------
# Formatted columns read brackets as property references and a leading number
# sign as a number; the module's path and folder stand for the installed ones.
sys.path.insert(0, os.path.join(root, "scripts"))
from make_packages import formatted  # noqa: E402

PATHS = [("Z:\\b\\Tessary.dll", "[#dll]"), ("Z:\\b\\", "[DIR]")]
for text, paths, expected in [
        ("Apartment", PATHS, "Apartment"),
        ("{3F49B6E8-05EF-4340-99B1-1DE13FBB0DD6}", PATHS, "{3F49B6E8-05EF-4340-99B1-1DE13FBB0DD6}"),
        ("a[b]c", (), "a[\\[]b[\\]]c"),
        ("#8", (), "##8"),
        ("z:\\B\\TESSARY.DLL", PATHS, "[#dll]"),
        ("Z:\\b\\", PATHS, "[DIR]"),
        ("Z:\\b\\Tessary.dll,1 Z:\\b\\x", PATHS, "[#dll],1 [DIR]x"),
        ("Z:\\b\\[x]", PATHS, "[DIR][\\[]x[\\]]")]:
    got = formatted(text, paths)
    check(got == expected, f"formatted({text!r}) is {got!r}, not {expected!r}")


# --- The prefixes -------------------------------------------------------------------
win64.create()

# A newer package of the same build: only the version differs.
newer_dir = tempfile.mkdtemp(prefix="tessary-newer-")
major, minor, patch = VERSION.split(".")
NEWER = f"{major}.{minor}.{int(patch) + 1}"
subprocess.run([sys.executable, os.path.join(root, "scripts", "make_packages.py"), root, build_root,
                newer_dir, "--version", NEWER], check=True, stdout=subprocess.DEVNULL)
# An x86 package as an earlier release made it, taken by 64-bit Windows too:
# the newer one without its launch condition.
with open(os.path.join(newer_dir, "Tessary-x86.wxs"), encoding="utf-8") as f:
    unguarded = re.sub(r"<Condition [^>]*>.*?</Condition>", "", f.read())
check("VersionNT64" not in unguarded, "the x86 package's launch condition is not where expected")
unguarded_msi = os.path.join(newer_dir, "Tessary-x86-unguarded.msi")
with open(os.path.join(newer_dir, "unguarded.wxs"), "w", encoding="utf-8") as f:
    f.write(unguarded)
subprocess.run(["wixl", "-a", "x86", "-I", ".", "-o", unguarded_msi,
                os.path.join(newer_dir, "unguarded.wxs")], check=True)

registry0, files0 = registry(win64), files(win64)
foreign0 = {k: v for k, v in registry0.items() if "\\classes\\interface\\" in k[0]}


def check_install(prefix, package, folders):
    """Installs the package, checks each build's folder (folders: arch to
    (Windows path, path below C:)), and returns the registry it leaves."""
    check(msiexec(prefix, "/i", package) == 0, f"msiexec /i {os.path.basename(package)}")
    for arch, (windows_folder, relative) in folders.items():
        folder = prefix.unix(relative)
        for name in ("Tessary.dll", "tessary.exe"):
            path = os.path.join(folder, name)
            check(os.path.isfile(path) and file_version(path) == VERSION + ".0",
                  f"{arch} {name}: version {os.path.isfile(path) and file_version(path)}, not {VERSION}.0")
        data = sorted(os.path.relpath(os.path.join(d, n), os.path.join(root, "data"))
                      for d, _, names in os.walk(os.path.join(root, "data", "KaData")) for n in names)
        present = [p for p in data if os.path.isfile(os.path.join(folder, p))]
        check(present == data, f"{arch}: KaData holds {present}, not {data}")
        # Through the registration, against the same files copied and loaded
        # beside the tool: the same answer.
        code, registered = prefix.wine(windows_folder + "\\tessary.exe", "--registered", "list")
        check(code == 0 and "Tessary" in registered,
              f"{arch} --registered list exited {code}: {registered[:300]}")
        copy = prefix.unix(f"copied-{arch}")
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(folder, copy)
        code, copied = prefix.wine(f"C:\\copied-{arch}\\tessary.exe", "list")
        shutil.rmtree(copy)
        check(code == 0 and copied == registered,
              f"{arch}: registered and copied DLL differ:\n{registered[:400]}\n---\n{copied[:400]}")
    return registry(prefix)


def check_regsvr32(prefix, folders, regsvr32, installed):
    """regsvr32 of the same DLLs in the same folders writes what the package
    wrote. The prefix holds nothing of ours before and after."""
    before = registry(prefix)
    for arch, (windows_folder, relative) in folders.items():
        os.makedirs(prefix.unix(relative), exist_ok=True)
        shutil.copy(os.path.join(build_root, arch, "bin", "Tessary.dll"), prefix.unix(relative))
        code = prefix.wine(regsvr32[arch], "/s", windows_folder + "\\Tessary.dll")[0]
        check(code == 0, f"regsvr32 {arch} exited {code}")
    registered = classes(changes(before, registry(prefix)))
    check(registered == installed,
          "the package and regsvr32 differ: package only: "
          + show({k: v for k, v in installed.items() if registered.get(k) != v})
          + " | regsvr32 only: " + show({k: v for k, v in registered.items() if installed.get(k) != v}))
    for arch, (windows_folder, relative) in folders.items():
        prefix.wine(regsvr32[arch], "/u", "/s", windows_folder + "\\Tessary.dll")
        shutil.rmtree(prefix.unix(relative))


x64_msi = os.path.join(packages, "Tessary-x64.msi")
x86_msi = os.path.join(packages, "Tessary-x86.msi")

# --- 64-bit Windows: the x86 package is refused -------------------------------------
check(msiexec(win64, "/i", x86_msi) != 0, "the x86 package installed on 64-bit Windows")
check(not installed_products(win64), f"after the x86 package: {installed_products(win64)}")
stray = sorted(p for p in files(win64) ^ files0 if not FILE_NOISE.search(p))
check(not stray, f"the refused x86 package left files: {stray[:8]}")

# --- 64-bit Windows: the x64 package, both builds ----------------------------------
registry1 = check_install(win64, x64_msi, FOLDERS)
installed = classes(changes(registry0, registry1))
check(installed, "the x64 package wrote no class keys")
check(not changes(foreign0, {k: v for k, v in registry1.items() if k in foreign0}),
      "the package changed foreign interface keys")
products = installed_products(win64)
check(products == [VERSION], f"installed products {products}")

# A newer package replaces it: one product, the newer version, the same entries.
check(msiexec(win64, "/i", os.path.join(newer_dir, "Tessary-x64.msi")) == 0, "msiexec /i newer package")
products = installed_products(win64)
check(products == [NEWER], f"after the upgrade: products {products}, not {NEWER} alone")
# An older package does not go over a newer one.
check(msiexec(win64, "/i", x64_msi) != 0, "the older package installed over the newer")
check(installed_products(win64) == [NEWER], f"after the older package: {installed_products(win64)}")
upgraded = registry(win64)
check(not changes(registry1, upgraded), "the upgrade changed the registration: " + show(changes(registry1, upgraded)))

check(msiexec(win64, "/x", os.path.join(newer_dir, "Tessary-x64.msi")) == 0, "msiexec /x")
registry2, files2 = registry(win64), files(win64)
left = changes(registry0, registry2)
check(not left, "uninstall left or changed: " + show(left))
check(not installed_products(win64), f"still installed: {installed_products(win64)}")
stray = sorted(p for p in files2 ^ files0 if not FILE_NOISE.search(p))
check(not stray, f"uninstall left or removed files: {stray[:8]}")

check_regsvr32(win64, FOLDERS, {"x64": "C:\\windows\\system32\\regsvr32.exe",
                                "x86": "C:\\windows\\syswow64\\regsvr32.exe"}, installed)

# An x86 package already on 64-bit Windows, even a newer one, gives way to
# the x64 package: one product, the x64 package's entries, and nothing left
# once that is removed.
before, files_before = registry(win64), files(win64)
check(msiexec(win64, "/i", unguarded_msi) == 0, "msiexec /i the unguarded x86 package")
check(installed_products(win64) == [NEWER], f"the unguarded x86 package: {installed_products(win64)}")
check(msiexec(win64, "/i", x64_msi) == 0, "msiexec /i x64 over an x86 package")
products = installed_products(win64)
check(products == [VERSION], f"x64 over an x86 package: products {products}, not {VERSION} alone")
replaced = classes(changes(before, registry(win64)))
check(replaced == installed, "x64 over an x86 package: registration differs: " + show(
    {k: v for k, v in replaced.items() ^ installed.items()}))
check(msiexec(win64, "/x", x64_msi) == 0, "msiexec /x x64 after replacing an x86 package")
left = changes(before, registry(win64))
check(not left, "x64 over an x86 package: uninstall left or changed: " + show(left))
stray = sorted(p for p in files(win64) ^ files_before if not FILE_NOISE.search(p))
check(not stray, f"x64 over an x86 package: uninstall left or removed files: {stray[:8]}")
win64.stop()

# --- 32-bit Windows: the x86 package alone ------------------------------------------
# It is marked for 32-bit Windows, with no 64-bit component.
summary = subprocess.run(["msiinfo", "suminfo", x86_msi], capture_output=True, text=True).stdout
check(re.search(r"^Template: Intel;", summary, re.M), f"x86 package summary: {summary}")
components = subprocess.run(["msiinfo", "export", x86_msi, "Component"], capture_output=True,
                            text=True).stdout.splitlines()[3:]
check(components and all(int(row.split("\t")[3]) & 256 == 0 for row in components),
      f"x86 package components: {components}")
win32.create()
before, files_before = registry(win32), files(win32)
check(msiexec(win32, "/i", x64_msi) != 0, "the x64 package installed on 32-bit Windows")
installed32 = classes(changes(before, check_install(win32, x86_msi, FOLDERS_32)))
check(installed32, "the x86 package wrote no class keys")
check(installed_products(win32) == [VERSION], f"x86 package: products {installed_products(win32)}")
check(msiexec(win32, "/x", x86_msi) == 0, "msiexec /x x86 package")
left = changes(before, registry(win32))
check(not left, "x86 uninstall left or changed: " + show(left))
stray = sorted(p for p in files(win32) ^ files_before if not FILE_NOISE.search(p))
check(not stray, f"x86 uninstall left or removed files: {stray[:8]}")
check_regsvr32(win32, FOLDERS_32, {"x86": "C:\\windows\\system32\\regsvr32.exe"}, installed32)
win32.stop()

shutil.rmtree(newer_dir, ignore_errors=True)
check.finish("package tests passed")
