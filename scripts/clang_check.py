#!/usr/bin/env python3
"""A second compiler over the build, and clang-tidy over the product and the tool.

    clang_check.py BUILD_ROOT [--arch x64 x86] [--jobs N] [--no-tidy] [--no-syntax]
                   [--only REGEX]

1. clang: every translation unit of ours in BUILD_ROOT/<arch>/compile_commands.json
   (the DLL, the tool, our host, the tests and the benchmarks), and the kit's
   sample host, which is built outside CMake, go through `clang -fsyntax-only`
   for the same mingw target, with the build's own defines, include folders and
   warning flags, plus clang's lifetime and initialisation warnings as errors.
   Any warning fails the pass: GCC misses these, clang sees them at once.
2. clang-tidy (x64 only: the checks do not depend on the word size): the
   product's and the tool's units, with the checks listed in .clang-tidy.

Both passes read one translated compile database, written to
BUILD_ROOT/<arch>/clang/compile_commands.json. Exits 1 on any warning, error or
finding; prints how long each pass took.
"""
import argparse
import concurrent.futures
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLANG = "clang++-19"
CLANG_C = "clang-19"
TIDY = "clang-tidy-19"
TRIPLES = {"x64": "x86_64-w64-mingw32", "x86": "i686-w64-mingw32"}
# clang finds mingw's C headers itself but not the -posix C++ library's.
GCC_VERSION = "12-posix"

# Dangling views and references, and reads of what was never written: the
# faults GCC 12 lets through and a test sees only by chance.
AS_ERRORS = [
    "-Werror=dangling",               # all of clang's lifetime checks: dangling-gsl,
                                      # return-stack-address, dangling-field, ...
    "-Werror=dangling-gsl",
    "-Werror=return-stack-address",
    "-Werror=dangling-field",
    "-Werror=dangling-initializer-list",
    "-Werror=uninitialized",
    "-Werror=sometimes-uninitialized",
    "-Werror=conditional-uninitialized",
    "-Werror=uninitialized-const-reference",
    "-Werror=static-self-init",
    "-Werror=unsequenced",
    "-Werror=return-type",
    "-Werror=self-assign",
    "-Werror=self-move",
    "-Werror=pessimizing-move",
    "-Werror=delete-non-abstract-non-virtual-dtor",
    "-Werror=incompatible-pointer-types",
]
# GCC-only flags clang would refuse or warn about; none of these is in the
# build today, but a target may add one.
GCC_ONLY = re.compile(r"^-(W(no-)?(error=)?(dangling-else|maybe-uninitialized|stringop-.*|"
                      r"class-memaccess|cast-function-type|format-overflow.*|"
                      r"format-truncation.*|restrict|array-bounds=.*|psabi|"
                      r"dangling-pointer.*|dangling-reference|use-after-free.*|"
                      r"mismatched-new-delete|free-nonheap-object)|"
                      r"fno-semantic-interposition|fipa-.*|fno-ipa-.*|flto.*|"
                      r"fmax-errors=.*|fconcepts-diagnostics-depth=.*)$")
# Warnings that are the toolchain's own, not ours, each with its reason.
NOT_OURS = [
    # libstdc++ 12's stable_sort calls its own deprecated get_temporary_buffer
    # (libstdc++ 14 silences it inside the header); clang 19 reports it at
    # every std::stable_sort. Our own uses of deprecated names still warn.
    re.compile(r"/include/c\+\+/bits/stl_tempbuf\.h:\d+:\d+: warning: "
               r"'get_temporary_buffer<.*>' is deprecated \[-Wdeprecated-declarations\]"),
]
# The product (everything in the DLL) and the tool with our host.
TIDY_DIRS = ["common", "com", "datafiles", "hostlink", "inventory", "identify", "catalog",
             "update", "recommend", "facade", "server", "host"]


def ours(path, build):
    path = os.path.realpath(path)
    return path.startswith(ROOT + os.sep) and (
        not path.startswith(os.path.realpath(build) + os.sep)
        or path.startswith(os.path.join(os.path.realpath(build), "generated") + os.sep))


def translate(args, arch, is_c):
    """The gcc command line as clang's, checking syntax only."""
    triple = TRIPLES[arch]
    cxx = f"/usr/lib/gcc/{triple}/{GCC_VERSION}/include/c++"
    out = [CLANG_C if is_c else CLANG, f"--target={triple}", "-fsyntax-only"]
    if not is_c:
        out += ["-isystem", cxx, "-isystem", f"{cxx}/{triple}"]
    skip = False
    for a in args[1:]:
        if skip:
            skip = False
            continue
        if a in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if a in ("-c", "-MD", "-MMD") or a.startswith("-O") or GCC_ONLY.match(a):
            continue
        out.append(a)
    return out + AS_ERRORS


def sample_host_units(arch, build, scratch):
    """The kit's sample host as a host developer builds it: C++17, the kit's
    headers (TessaryHost.h made as the kit makes it), the build's warnings."""
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    import make_sdk  # noqa: E402
    header, _ = make_sdk.host_header(ROOT, scratch)
    folder = os.path.join(ROOT, "sdk", "sample-host")
    units = []
    for name in sorted(os.listdir(folder)):
        if name.endswith(".cpp"):
            path = os.path.join(folder, name)
            args = ["c++", "-std=c++17", "-DUNICODE", "-D_UNICODE",
                    "-I" + os.path.dirname(header), "-I" + os.path.join(build, "generated"),
                    "-Wall", "-Wextra", "-c", path]
            units.append({"directory": folder, "file": path,
                          "arguments": translate(args, arch, False) + [path]})
    return units


def database(build_root, arch, scratch):
    """Our units of one build, translated for clang, one per file and flags."""
    build = os.path.join(build_root, arch)
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        entries = json.load(f)
    seen = set()
    units = []
    for e in entries:
        path = os.path.join(e["directory"], e["file"])
        if not path.endswith((".cpp", ".cc", ".c")) or not ours(path, build):
            continue
        args = e["arguments"] if "arguments" in e else shlex.split(e["command"])
        args = [a for a in args if a != path and a != e["file"]]
        clang = translate(args, arch, path.endswith(".c")) + [path]
        # A file built into several targets (the tests' support files) is
        # checked once: the targets differ only in include folders.
        if path in seen:
            continue
        seen.add(path)
        units.append({"directory": e["directory"], "file": path, "arguments": clang})
    units += sample_host_units(arch, build, scratch)
    out = os.path.join(build, "clang")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "compile_commands.json"), "w", encoding="utf-8") as f:
        json.dump(units, f, indent=1)
    return units, out


def run_all(commands, jobs):
    """(command, exit code, output) of each, `jobs` at a time, in order."""
    def one(item):
        cwd, cmd = item
        start = time.monotonic()
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, errors="replace")
        if os.environ.get("CLANG_CHECK_TIMES"):
            print(f"{time.monotonic() - start:6.1f} s {cmd[-1]}", file=sys.stderr, flush=True)
        return cmd, p.returncode, p.stdout
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        return list(pool.map(one, commands))


def syntax_pass(units, jobs):
    bad = 0
    for cmd, code, output in run_all([(u["directory"], u["arguments"]) for u in units], jobs):
        found = [line for line in output.splitlines()
                 if re.search(r": (warning|error): ", line)
                 and not any(n.search(line) for n in NOT_OURS)]
        if code != 0 or found:
            bad += 1
            print(f"--- {cmd[-1]}\n{output.rstrip()}", flush=True)
    return bad


def tidy_pass(units, db_dir, jobs):
    dirs = "|".join(re.escape(d) for d in TIDY_DIRS)
    mine = re.compile(rf"^{re.escape(ROOT)}/({dirs})/")
    files = sorted({u["file"] for u in units if mine.match(u["file"])})
    # Headers: only the project's own, never the system's or generated ones.
    header_filter = rf"^{re.escape(ROOT)}/({dirs}|tests)/"
    commands = [(ROOT, [TIDY, "-p", db_dir, "--quiet", f"--header-filter={header_filter}",
                        f"--config-file={os.path.join(ROOT, '.clang-tidy')}", f])
                for f in files]
    bad = 0
    for cmd, code, output in run_all(commands, jobs):
        # clang-tidy prints "N warnings generated." for suppressed ones too.
        shown = [line for line in output.splitlines()
                 if re.search(r": (warning|error):", line)]
        if code != 0 or shown:
            bad += 1
            print(f"--- {cmd[-1]}\n{output.rstrip()}", flush=True)
    return bad, len(files)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_root")
    parser.add_argument("--arch", nargs="+", default=["x64", "x86"], choices=list(TRIPLES))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--no-tidy", action="store_true")
    parser.add_argument("--no-syntax", action="store_true")
    parser.add_argument("--only", metavar="REGEX", help="only the units whose path matches")
    opts = parser.parse_args()

    failed = False
    with tempfile.TemporaryDirectory() as scratch:
        for arch in opts.arch:
            own = os.path.join(scratch, arch)
            os.makedirs(own)
            units, db_dir = database(os.path.abspath(opts.build_root), arch, own)
            if opts.only:
                units = [u for u in units if re.search(opts.only, u["file"])]
            if not opts.no_syntax:
                start = time.monotonic()
                bad = syntax_pass(units, opts.jobs)
                print(f"clang {arch}: {len(units)} units, {bad} with warnings, "
                      f"{time.monotonic() - start:.0f} s", flush=True)
                failed |= bad > 0
            if not opts.no_tidy and arch == "x64":
                start = time.monotonic()
                bad, count = tidy_pass(units, db_dir, opts.jobs)
                print(f"clang-tidy {arch}: {count} units, {bad} with findings, "
                      f"{time.monotonic() - start:.0f} s", flush=True)
                failed |= bad > 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
