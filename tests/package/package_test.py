#!/usr/bin/env python3
"""The installer packages under Wine, in a prefix of their own made afresh:
the x64 package installs both builds, whose tools create the classes through
their registration and answer as a copied DLL does; the package writes the
registry entries regsvr32 writes, no more and no fewer; a newer package
replaces the installed one; uninstalling leaves no file, key or value of ours
and every key it found as it was. Then the x86 package alone, the same way.

    package_test.py SOURCE_ROOT BUILD_ROOT PREFIX
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

root, build_root, prefix = sys.argv[1:4]
packages = os.path.join(build_root, "packages")
env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
           WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
quiet = dict(env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
             stderr=subprocess.DEVNULL)
failures = []

FOLDERS = {"x64": ("C:\\Program Files\\Tessary", "Program Files/Tessary"),
           "x86": ("C:\\Program Files (x86)\\Tessary", "Program Files (x86)/Tessary")}
with open(os.path.join(build_root, "x64", "version.txt")) as f:
    VERSION = f.read().strip()


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)
    return condition


def wine(*args):
    # Output through files: Wine's helper processes would hold a pipe open.
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine", *args], env=env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.DEVNULL, timeout=300).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace").replace("\r", "")


def unix(path):
    return os.path.join(prefix, "drive_c", path)


def msiexec(*args):
    package = args[-1]
    return wine("msiexec", *args[:-1], "Z:" + package.replace("/", "\\"), "/qn")[0]


# --- Snapshots -------------------------------------------------------------------
def registry():
    """Both hives as {(key, value name or None): data}, key and name lower case."""
    entries = {}
    for hive in ("HKLM", "HKCU"):
        code = wine("reg", "export", hive, "C:\\snapshot.reg", "/reg:64", "/y")[0]
        check(code == 0, f"reg export {hive} exited {code}")
        with open(unix("snapshot.reg"), encoding="utf-16") as f:
            text = f.read().replace("\\\n  ", "")
        os.remove(unix("snapshot.reg"))
        key = None
        for line in text.splitlines():
            if line.startswith("[") and line.endswith("]"):
                key = line[1:-1].lower()
                entries[(key, None)] = None
            elif key and (match := re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)):
                entries[(key, match.group(1).lower())] = match.group(2)
    return entries


def files():
    listed = set()
    for folder, _, names in os.walk(os.path.join(prefix, "drive_c")):
        listed.update(os.path.relpath(os.path.join(folder, n), prefix).lower() for n in names)
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


def installed_products():
    """The DisplayVersion of each Uninstall entry named Tessary, both views."""
    found = set()
    for view in ("/reg:64", "/reg:32"):
        _, out = wine("reg", "query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                      "/s", view)
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


# --- The prefix --------------------------------------------------------------------
subprocess.run(["wineserver", "-k"], **quiet)
shutil.rmtree(prefix, ignore_errors=True)
os.makedirs(prefix)
subprocess.run(["wineboot", "-i"], **quiet)
subprocess.run(["wineserver", "-w"], **quiet)
subprocess.run(["wineserver", "-p"], **quiet)
subprocess.run(["wine", "cmd", "/c", "exit"], **quiet)

# A newer package of the same build: only the version differs.
newer_dir = tempfile.mkdtemp(prefix="tessary-newer-")
major, minor, patch = VERSION.split(".")
NEWER = f"{major}.{minor}.{int(patch) + 1}"
subprocess.run([sys.executable, os.path.join(root, "scripts", "make_packages.py"), root, build_root,
                newer_dir, "--version", NEWER], check=True, stdout=subprocess.DEVNULL)

registry0, files0 = registry(), files()
foreign0 = {k: v for k, v in registry0.items() if "\\classes\\interface\\" in k[0]}


def check_install(package, arches):
    """Installs the package, checks it, and returns what it wrote."""
    check(msiexec("/i", package) == 0, f"msiexec /i {os.path.basename(package)}")
    for arch in arches:
        windows, relative = FOLDERS[arch]
        folder = unix(relative)
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
        code, registered = wine(windows + "\\tessary.exe", "--registered", "list")
        check(code == 0 and "Tessary" in registered,
              f"{arch} --registered list exited {code}: {registered[:300]}")
        copy = unix(f"copied-{arch}")
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(folder, copy)
        code, copied = wine(f"C:\\copied-{arch}\\tessary.exe", "list")
        shutil.rmtree(copy)
        check(code == 0 and copied == registered,
              f"{arch}: registered and copied DLL differ:\n{registered[:400]}\n---\n{copied[:400]}")
    return registry()


# --- The x64 package: both builds --------------------------------------------------
x64_msi = os.path.join(packages, "Tessary-x64.msi")
registry1 = check_install(x64_msi, ("x64", "x86"))
installed = classes(changes(registry0, registry1))
check(installed, "the x64 package wrote no class keys")
check(not changes(foreign0, {k: v for k, v in registry1.items() if k in foreign0}),
      "the package changed foreign interface keys")
products = installed_products()
check(products == [VERSION], f"installed products {products}")

# A newer package replaces it: one product, the newer version, the same entries.
check(msiexec("/i", os.path.join(newer_dir, "Tessary-x64.msi")) == 0, "msiexec /i newer package")
products = installed_products()
check(products == [NEWER], f"after the upgrade: products {products}, not {NEWER} alone")
# An older package does not go over a newer one.
check(msiexec("/i", x64_msi) != 0, "the older package installed over the newer")
check(installed_products() == [NEWER], f"after the older package: {installed_products()}")
upgraded = registry()
check(not changes(registry1, upgraded), "the upgrade changed the registration: " + show(changes(registry1, upgraded)))

check(msiexec("/x", os.path.join(newer_dir, "Tessary-x64.msi")) == 0, "msiexec /x")
registry2, files2 = registry(), files()
left = changes(registry0, registry2)
check(not left, "uninstall left or changed: " + show(left))
check(not installed_products(), f"still installed: {installed_products()}")
stray = sorted(p for p in files2 ^ files0 if not FILE_NOISE.search(p))
check(not stray, f"uninstall left or removed files: {stray[:8]}")

# regsvr32 from the same folders writes what the package wrote.
for arch in ("x64", "x86"):
    os.makedirs(unix(FOLDERS[arch][1]), exist_ok=True)
    shutil.copy(os.path.join(build_root, arch, "bin", "Tessary.dll"), unix(FOLDERS[arch][1]))
REGSVR32 = {"x64": "C:\\windows\\system32\\regsvr32.exe", "x86": "C:\\windows\\syswow64\\regsvr32.exe"}
for arch in ("x64", "x86"):
    code = wine(REGSVR32[arch], "/s", FOLDERS[arch][0] + "\\Tessary.dll")[0]
    check(code == 0, f"regsvr32 {arch} exited {code}")
registered = classes(changes(registry2, registry()))
check(registered == installed,
      "the package and regsvr32 differ: package only: "
      + show({k: v for k, v in installed.items() if registered.get(k) != v})
      + " | regsvr32 only: " + show({k: v for k, v in registered.items() if installed.get(k) != v}))
for arch in ("x86", "x64"):
    wine(REGSVR32[arch], "/u", "/s", FOLDERS[arch][0] + "\\Tessary.dll")
    shutil.rmtree(unix(FOLDERS[arch][1]))

# --- The x86 package: the x86 build alone -------------------------------------------
# 32-bit Windows takes only a package marked for it, with no 64-bit component.
x86_msi = os.path.join(packages, "Tessary-x86.msi")
summary = subprocess.run(["msiinfo", "suminfo", x86_msi], capture_output=True, text=True).stdout
check(re.search(r"^Template: Intel;", summary, re.M), f"x86 package summary: {summary}")
components = subprocess.run(["msiinfo", "export", x86_msi, "Component"], capture_output=True,
                            text=True).stdout.splitlines()[3:]
check(components and all(int(row.split("\t")[3]) & 256 == 0 for row in components),
      f"x86 package components: {components}")
before = registry()
check_install(x86_msi, ("x86",))
check(not os.path.exists(unix(FOLDERS["x64"][1])), "the x86 package installed the x64 build")
check(msiexec("/x", x86_msi) == 0, "msiexec /x x86 package")
left = changes(before, registry())
check(not left, "x86 uninstall left or changed: " + show(left))

shutil.rmtree(newer_dir, ignore_errors=True)
subprocess.run(["wineserver", "-k"], **quiet)
print(f"{len(failures)} failures" if failures else "package tests passed")
sys.exit(1 if failures else 0)
