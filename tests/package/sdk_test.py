#!/usr/bin/env python3
"""The host developer's kit as a host developer meets it: unpacked into an
empty folder, its sample host configured with the kit's own toolchain file,
built against the kit's headers alone and run under Wine against each of the
kit's DLLs and its sample data; its script sample run by cscript against the
registered DLL of the script host's bitness. The guide's links lead
somewhere inside the kit.

    sdk_test.py SOURCE_ROOT BUILD_ROOT PREFIX
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winetest import Checks, Prefix, windows  # noqa: E402

root, build_root, prefix_path = sys.argv[1:4]
kit_zip = os.path.join(build_root, "packages", "Tessary-sdk.zip")
check = Checks()
prefix = Prefix(prefix_path)
wine = prefix.wine
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brightfield Browser"
# PE machine field per build.
MACHINES = {"x64": 0x8664, "x86": 0x14C}
# cscript and regsvr32 of each bitness in a 64-bit prefix.
SYSTEM = {"x64": "C:\\windows\\system32", "x86": "C:\\windows\\syswow64"}


def machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    at = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[at + 4:at + 6], "little") if data[at:at + 4] == b"PE\0\0" else None


work = tempfile.mkdtemp(prefix="tessary-sdk-")
try:
    with zipfile.ZipFile(kit_zip) as archive:
        archive.extractall(work)
    kit = os.path.join(work, "Tessary-sdk")

    # --- What the kit holds ------------------------------------------------------
    def files_under(folder):
        return sorted(os.path.relpath(os.path.join(d, n), folder)
                      for d, _, names in os.walk(folder) for n in names)

    rules = files_under(os.path.join(root, "data", "KaData"))
    for arch in MACHINES:
        dll = os.path.join(kit, "bin", arch, "Tessary.dll")
        check(os.path.isfile(dll) and machine(dll) == MACHINES[arch],
              f"bin/{arch}/Tessary.dll is not a {arch} DLL")
        check(files_under(os.path.join(kit, "bin", arch, "KaData")) == rules,
              f"bin/{arch}/KaData differs from data/KaData")
    check(files_under(os.path.join(kit, "data", "host")) ==
          files_under(os.path.join(root, "data", "host")), "data/host differs from the sample data")
    with open(os.path.join(kit, "include", "TessaryHost.h"), encoding="utf-8") as f:
        host_header = f.read()
    for name in ("IKaHostPlugin", "IKaHostServices", "IKaDataService", "IKaHostSettings",
                 "IKaNotifyService", "IKaNotifyEvents", "IKaServiceEvents", "IKaIconService"):
        check(re.search(rf"^{name} : public IUnknown$", host_header, re.M),
              f"TessaryHost.h does not declare {name}")
    check("IKaSoftStatusManager" not in host_header,
          "TessaryHost.h carries the library's interfaces too")

    # --- The guide's links ---------------------------------------------------------
    def anchors(path):
        with open(path, encoding="utf-8") as f:
            return {re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
                    for line in f if line.startswith("#")}

    # Followed inside the unpacked kit: a reader has nothing else.
    guide = os.path.join(kit, "docs", "integrating.md")
    with open(guide, encoding="utf-8") as f:
        links = re.findall(r"\]\(([^)#]+)(?:#([^)]+))?\)", f.read())
    check(links, "the guide links nothing")
    for target, anchor in links:
        path = os.path.normpath(os.path.join(os.path.dirname(guide), target))
        check(os.path.isfile(path) and (not anchor or anchor in anchors(path)),
              f"the guide's link {target}#{anchor} leads nowhere")

    # --- The prefix: one program of the sample catalog installed, in both views ---------
    prefix.create()
    for view in ("/reg:64", "/reg:32"):
        for value, data in (("DisplayName", "Brightfield Browser"), ("DisplayVersion", "24.1.0")):
            code = wine("reg", "add", UNINSTALL, "/v", value, "/d", data, "/f", view)[0]
            check(code == 0, f"reg add {value} {view} exited {code}")

    # --- The sample host, built from the unpacked kit ----------------------------------
    expected = ["attach: 0x00000001",
                'status Brightfield Browser: installed 24.1.0 as "Brightfield Browser"',
                "status Tallow Sheets: not installed",
                "status Nowhere Soft: no rules",
                "updates: 1",
                "update Brightfield Browser: 24.1.0 -> 25.0.2 26.0",
                "detach: 0x00000000"]
    for arch in MACHINES:
        tree = os.path.join(work, f"build-{arch}")
        configure = subprocess.run(
            ["cmake", "-S", os.path.join(kit, "sample-host"), "-B", tree, "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release",
             "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(kit, "sample-host", f"toolchain-mingw-{arch}.cmake")],
            capture_output=True, text=True)
        build = subprocess.run(["cmake", "--build", tree], capture_output=True, text=True)
        exe = os.path.join(tree, "sample-host.exe")
        if not check(configure.returncode == 0 and build.returncode == 0 and os.path.isfile(exe),
                     f"{arch} sample host does not build: {configure.stderr[-800:]}"
                     f"{build.stdout[-1500:]}"):
            continue
        check(machine(exe) == MACHINES[arch], f"the {arch} sample host is not a {arch} program")
        code, out = wine(windows(exe), windows(os.path.join(kit, "bin", arch, "Tessary.dll")),
                         windows(os.path.join(kit, "data", "host")),
                         "Brightfield Browser", "Tallow Sheets", "Nowhere Soft")
        check(code == 0 and out.splitlines() == expected,
              f"{arch} sample host exited {code}: {out!r}")
        # Missing data files read as empty, not as errors: without its rules
        # beside it the component knows no program; without the host's files
        # it knows no catalog, so no updates.
        bare = os.path.join(work, f"bare-{arch}")
        os.makedirs(bare)
        shutil.copy(os.path.join(kit, "bin", arch, "Tessary.dll"), bare)
        for dll_folder, host_folder, lines in [
                (bare, os.path.join(kit, "data", "host"),
                 ["status Brightfield Browser: no rules", "updates: 0"]),
                (os.path.join(kit, "bin", arch), os.path.join(work, "nowhere"),
                 ['status Brightfield Browser: installed 24.1.0 as "Brightfield Browser"',
                  "updates: 0"])]:
            code, out = wine(windows(exe), windows(os.path.join(dll_folder, "Tessary.dll")),
                             windows(host_folder), "Brightfield Browser")
            check(code == 0 and out.splitlines() == [expected[0], *lines, expected[-1]],
                  f"{arch} sample host, {dll_folder} and {host_folder}: {code} {out!r}")

    # --- The script sample, through the registration -------------------------------------
    script = windows(os.path.join(kit, "script", "installed.js"))
    for arch in MACHINES:
        dll = windows(os.path.join(kit, "bin", arch, "Tessary.dll"))
        code = wine(SYSTEM[arch] + "\\regsvr32.exe", "/s", dll)[0]
        if not check(code == 0, f"regsvr32 {arch} exited {code}"):
            continue
        code, out = wine(SYSTEM[arch] + "\\cscript.exe", "//nologo", script, "Brightfield Browser")
        lines = out.splitlines()
        check(code == 0 and len(lines) == 2
              and lines[0].split("\t")[:3] == ["Brightfield Browser", "Brightfield Browser", "24.1.0"]
              and re.fullmatch(r"[1-9]\d* programs", lines[1]),
              f"{arch} installed.js exited {code}: {out!r}")
        wine(SYSTEM[arch] + "\\regsvr32.exe", "/u", "/s", dll)
finally:
    prefix.stop()
    shutil.rmtree(work, ignore_errors=True)

check.finish("sdk: all checks passed")
