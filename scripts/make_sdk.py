#!/usr/bin/env python3
"""Builds the host developer's kit, Tessary-sdk.zip, from both build trees.

    Tessary-sdk/
      include/TessaryLib.h, TessaryLib_i.c   the library's interfaces, from widl
      include/TessaryHost.h                  what a host implements and calls
      include/TessaryLib.idl, TessaryHost.idl the same, as declared
      bin/<arch>/Tessary.dll, TessaryLib.tlb, KaData/
      data/host/                             a host's sample data files
      sample-host/                           a minimal host (C++, CMake)
      script/installed.js                    the installed list from a script host
      docs/integrating.md, README.md

TessaryHost.h is made here with widl from the part of the IDL that follows
the library block (the host-side interfaces); TessaryLib_i.c defines their
identifiers too, so a host compiles that one file alone.

usage: make_sdk.py SOURCE_DIR BUILD_ROOT OUT_DIR
"""
import os
import subprocess
import sys
import tempfile
import zipfile

ROOT = "Tessary-sdk"
HOST_PART = "// Between the facade and the host only"
# Fixed time stamps: the same trees give the same archive.
STAMP = (2020, 1, 1, 0, 0, 0)


def host_header(source_dir, scratch):
    with open(os.path.join(source_dir, "server", "TessaryLib.idl"), encoding="utf-8") as f:
        idl = f.read()
    at = idl.find(HOST_PART)
    if at < 0:
        sys.exit("make_sdk: TessaryLib.idl has no host-side part")
    idl_path = os.path.join(scratch, "TessaryHost.idl")
    with open(idl_path, "w", encoding="utf-8") as f:
        f.write("// The interfaces between a host and the Tessary component.\n"
                'import "oaidl.idl";\nimport "ocidl.idl";\n\n' + idl[at:])
    header = os.path.join(scratch, "TessaryHost.h")
    subprocess.run(["x86_64-w64-mingw32-widl", "-m64", "-I/usr/include/wine/wine/windows",
                    "-h", "-H", "TessaryHost.h", "TessaryHost.idl"],
                   check=True, cwd=scratch, stdout=subprocess.DEVNULL)
    return header, idl_path


def entries(source_dir, build_root, header, host_idl):
    """(path in the archive, file on disk) for everything the kit holds."""
    gen = os.path.join(build_root, "x64", "generated")
    out = [("include/TessaryLib.h", os.path.join(gen, "TessaryLib.h")),
           ("include/TessaryLib_i.c", os.path.join(gen, "TessaryLib_i.c")),
           ("include/TessaryHost.h", header),
           # To read: the interfaces as declared, with their comments.
           ("include/TessaryLib.idl", os.path.join(source_dir, "server", "TessaryLib.idl")),
           ("include/TessaryHost.idl", host_idl),
           ("docs/integrating.md", os.path.join(source_dir, "docs", "integrating.md")),
           # The guide links into it.
           ("README.md", os.path.join(source_dir, "README.md"))]

    def tree(folder, prefix):
        for parent, dirs, names in os.walk(folder):
            dirs.sort()
            for name in sorted(names):
                full = os.path.join(parent, name)
                out.append((prefix + "/" + os.path.relpath(full, folder).replace(os.sep, "/"), full))

    for arch in ("x64", "x86"):
        build = os.path.join(build_root, arch)
        out.append((f"bin/{arch}/Tessary.dll", os.path.join(build, "bin", "Tessary.dll")))
        out.append((f"bin/{arch}/TessaryLib.tlb", os.path.join(build, "generated", "TessaryLib.tlb")))
        tree(os.path.join(source_dir, "data", "KaData"), f"bin/{arch}/KaData")
    tree(os.path.join(source_dir, "data", "host"), "data/host")
    tree(os.path.join(source_dir, "sdk", "sample-host"), "sample-host")
    tree(os.path.join(source_dir, "sdk", "script"), "script")
    return out


def main():
    source_dir, build_root, out_dir = sys.argv[1:4]
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, "Tessary-sdk.zip")
    with tempfile.TemporaryDirectory() as scratch:
        header, host_idl = host_header(source_dir, scratch)
        partial = target + ".part"
        with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as kit:
            for name, path in entries(source_dir, build_root, header, host_idl):
                info = zipfile.ZipInfo(f"{ROOT}/{name}", STAMP)
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                with open(path, "rb") as f:
                    kit.writestr(info, f.read())
        os.replace(partial, target)
    print(f"Kit in {target}")


if __name__ == "__main__":
    main()
