#!/usr/bin/env python3
"""Builds the Windows Installer packages from both build trees with wixl.

Tessary-x64.msi installs the x64 build under the 64-bit Program Files and the
x86 build under the 32-bit one, each registered in its own registry view;
Tessary-x86.msi installs the x86 build alone. Each build's folder holds its
DLL, its tool and KaData.

The two write the same x86 registration, so they must never be installed
side by side: removing either would take the other's classes away. The x86
package refuses 64-bit Windows (the x64 package is the one for it), and the
x64 package replaces an x86 package that an earlier release let onto 64-bit
Windows, whatever its version.

The registry entries are not written by hand: each build's harvest tool runs
the DLL's own registration in a scratch registry under Wine and lists what it
wrote, and that listing becomes the component's Registry rows. The module's
path in it becomes the installed file's path, its folder the installed
folder's.

usage: make_packages.py SOURCE_DIR BUILD_ROOT OUT_DIR [--version X.Y.Z]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import uuid
from xml.sax.saxutils import quoteattr

# Fixed for the life of the product: a newer package finds and replaces an
# older one by these. Product codes are new with every build.
UPGRADE_CODES = {
    "x64": "5E0B7A0C-3C3B-4F0E-9A55-2B8C1D7E6F41",
    "x86": "8F3D2B61-74A9-4C1E-B0D2-6A9E5C4F1B37",
}
X86_ON_64BIT = ("Tessary-x86.msi is for 32-bit Windows. On 64-bit Windows install "
               "Tessary-x64.msi: it registers the x86 build for 32-bit hosts as well.")
# Component codes derive from this and the component's place, so they stay
# the same from build to build.
COMPONENT_NAMESPACE = uuid.UUID("0C7E1F52-9B64-4D8A-A3E1-5F2B7C9D4E60")

ARCH_FOLDERS = {"x64": ("ProgramFiles64Folder", True), "x86": ("ProgramFilesFolder", False)}
PACKAGE_ARCHES = {"x64": ["x64", "x86"], "x86": ["x86"]}
REG_TYPES = {1: "string", 2: "expandable", 4: "integer"}


def harvest(build_dir):
    """The harvest tool's listing for one build: (module path, rows)."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "registration.txt")
        subprocess.run([os.path.join(build_dir, "wine-run"),
                        os.path.join(build_dir, "bin", "tessary-harvest.exe"),
                        os.path.join(build_dir, "bin", "Tessary.dll"), out],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        with open(out, encoding="utf-8") as f:
            lines = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    module = next(fields[1] for fields in lines if fields[0] == "module")
    rows = [fields[1:] for fields in lines if fields[0] != "module"]
    if any(fields[0] != "value" for fields in lines if fields[0] != "module"):
        sys.exit("make_packages: the registration writes an empty key; the packages cannot")
    return module, rows


def formatted(text, paths=()):
    """Text as a Windows Installer formatted column writes it, with each of
    the (path, property reference) pairs standing for its path wherever the
    text holds it, without regard to case. The longest path is tried first."""
    paths = sorted(paths, key=lambda p: -len(p[0]))
    lower, out, at = text.lower(), "", 0
    while at < len(text):
        match = next(((path, ref) for path, ref in paths if lower.startswith(path.lower(), at)), None)
        if match:
            out += match[1]
            at += len(match[0])
            continue
        out += {"[": "[\\[]", "]": "[\\]]"}.get(text[at], text[at])
        at += 1
    # A leading number sign would make the text a number or binary data.
    return "#" + out if out.startswith("#") else out


def registry_rows(module, rows, file_id, dir_id):
    paths = [(module, f"[#{file_id}]"), (module[:module.rfind("\\") + 1], f"[{dir_id}]")]
    xml = []
    for root, key, name, reg_type, data in rows:
        reg_type = int(reg_type)
        if reg_type not in REG_TYPES:
            sys.exit(f"make_packages: registry type {reg_type} of {key} is not packaged")
        value = formatted(data, paths if reg_type in (1, 2) else ())
        attrs = f'Root="{root}" Key={quoteattr(formatted(key))}'
        if name:
            attrs += f" Name={quoteattr(formatted(name))}"
        xml.append(f'<RegistryValue {attrs} Type="{REG_TYPES[reg_type]}" Value={quoteattr(value)}/>')
    return xml


def component_guid(*place):
    return str(uuid.uuid5(COMPONENT_NAMESPACE, "/".join(place))).upper()


def arch_directory(source_dir, build_dir, arch, registration, components):
    """The Directory element of one build's folder; adds its component ids."""
    folder_id, win64 = ARCH_FOLDERS[arch]
    win64_attr = 'Win64="yes"' if win64 else 'Win64="no"'
    dir_id = f"INSTALLDIR_{arch.upper()}"
    dll_id, tool_id = f"Tessary_{arch}.dll", f"tessary_{arch}.exe"
    module, rows = registration
    xml = [f'<Directory Id="{folder_id}">',
           f'<Directory Id="{dir_id}" Name="Tessary">',
           f'<Component Id="Dll_{arch}" Guid="{component_guid(arch, "dll")}" {win64_attr}>',
           f'<File Id="{dll_id}" Name="Tessary.dll" KeyPath="yes" '
           f'Source={quoteattr(os.path.relpath(os.path.join(build_dir, "bin", "Tessary.dll")))}/>']
    xml += registry_rows(module, rows, dll_id, dir_id)
    xml += ['</Component>',
            f'<Component Id="Tool_{arch}" Guid="{component_guid(arch, "tool")}" {win64_attr}>',
            f'<File Id="{tool_id}" Name="tessary.exe" KeyPath="yes" '
            f'Source={quoteattr(os.path.relpath(os.path.join(build_dir, "bin", "tessary.exe")))}/>',
            '</Component>']
    components += [f"Dll_{arch}", f"Tool_{arch}"]

    def data_folder(path, rel):
        out = []
        for entry in sorted(os.listdir(path)):
            full, rel_entry = os.path.join(path, entry), f"{rel}/{entry}"
            ident = "D" + component_guid(arch, rel_entry).replace("-", "")[:24]
            if os.path.isdir(full):
                out += [f'<Directory Id="{ident}_{arch}" Name={quoteattr(entry)}>']
                out += data_folder(full, rel_entry)
                out += ['</Directory>']
            else:
                comp = f"C{ident[1:]}_{arch}"
                out += [f'<Component Id="{comp}" Guid="{component_guid(arch, rel_entry)}" {win64_attr}>',
                        f'<File Id="F{ident[1:]}_{arch}" Name={quoteattr(entry)} KeyPath="yes" '
                        f'Source={quoteattr(os.path.relpath(full))}/>',
                        '</Component>']
                components.append(comp)
        return out

    xml += [f'<Directory Id="KaData_{arch}" Name="KaData">']
    xml += data_folder(os.path.join(source_dir, "data", "KaData"), "KaData")
    xml += ['</Directory>', '</Directory>', '</Directory>']
    return xml


def exclusion(package):
    """What keeps the two packages from being installed side by side."""
    if package == "x86":
        # Installed: a package on the machine can always be removed.
        return [f'<Condition Message={quoteattr(X86_ON_64BIT)}>Installed OR NOT VersionNT64</Condition>']
    return [f'<Upgrade Id="{UPGRADE_CODES["x86"]}">',
            '<UpgradeVersion Minimum="0.0.0" IncludeMinimum="yes" OnlyDetect="no" '
            'Property="TESSARY_X86_PACKAGE"/>',
            '</Upgrade>']


def package_source(source_dir, build_root, package, version, registrations):
    # wixl takes sources relative to the folder it is given (-I).
    components = []
    body = []
    for arch in PACKAGE_ARCHES[package]:
        body += arch_directory(source_dir, os.path.join(build_root, arch), arch,
                               registrations[arch], components)
    refs = [f'<ComponentRef Id="{c}"/>' for c in components]
    return "\n".join([
        '<?xml version="1.0" encoding="utf-8"?>',
        '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
        f'<Product Id="*" Name="Tessary" Language="1033" Version="{version}" '
        f'Manufacturer="Tessary" UpgradeCode="{UPGRADE_CODES[package]}">',
        f'<Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine" '
        f'Description="Tessary software identification component"/>',
        '<Media Id="1" Cabinet="tessary.cab" EmbedCab="yes"/>',
        '<MajorUpgrade DowngradeErrorMessage="A newer version of Tessary is already installed."/>',
        *exclusion(package),
        '<Directory Id="TARGETDIR" Name="SourceDir">',
        *body,
        '</Directory>',
        '<Feature Id="Complete" Title="Tessary" Level="1">',
        *refs,
        '</Feature>',
        '</Product>',
        '</Wix>', ""])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("source_dir")
    parser.add_argument("build_root")
    parser.add_argument("out_dir")
    parser.add_argument("--version", help="the version to stamp (default: the build's)")
    args = parser.parse_args()
    version = args.version
    if version is None:
        with open(os.path.join(args.build_root, "x64", "version.txt")) as f:
            version = f.read().strip()
    os.makedirs(args.out_dir, exist_ok=True)
    registrations = {arch: harvest(os.path.join(args.build_root, arch)) for arch in ("x64", "x86")}
    for package in ("x64", "x86"):
        wxs = os.path.join(args.out_dir, f"Tessary-{package}.wxs")
        with open(wxs, "w", encoding="utf-8") as f:
            f.write(package_source(args.source_dir, args.build_root, package, version, registrations))
        subprocess.run(["wixl", "-a", package, "-I", ".", "-o",
                        os.path.join(args.out_dir, f"Tessary-{package}.msi"), wxs], check=True)
    print(f"Packages {version} in {args.out_dir}")


if __name__ == "__main__":
    main()
