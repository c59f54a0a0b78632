"""What the package tests share: a Wine prefix of their own, made afresh,
programs run in it, and the failures counted."""
import os
import shutil
import subprocess
import sys
import tempfile


class Checks:
    """Failures are counted, not raised: one run reports them all."""

    def __init__(self):
        self.failures = []

    def __call__(self, condition, what):
        if not condition:
            self.failures.append(what)
            print("FAIL:", what)
        return condition

    def finish(self, passed):
        print(f"{len(self.failures)} failure(s)" if self.failures else passed)
        sys.exit(1 if self.failures else 0)


class Prefix:
    """A Wine prefix: `arch` "win32" for 32-bit Windows, else Wine's default
    (64-bit Windows, with the 32-bit part)."""

    def __init__(self, path, arch=None):
        self.path = path
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
        if arch:
            self.env["WINEARCH"] = arch
        else:
            self.env.pop("WINEARCH", None)

    def run(self, *args):
        """A Wine tool run for its effect alone."""
        return subprocess.run(list(args), env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode

    def create(self):
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path)
        self.run("wineboot", "-i")
        self.run("wineserver", "-w")
        # One server for the whole run: starting one per program is slow.
        self.run("wineserver", "-p")
        self.run("wine", "cmd", "/c", "exit")

    def stop(self):
        self.run("wineserver", "-k")

    def wine(self, *args):
        """(exit code, standard output as text) of a program in the prefix."""
        # Output through a file: Wine's helper processes would hold a pipe open.
        with tempfile.TemporaryFile() as out:
            code = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.DEVNULL, timeout=300).returncode
            out.seek(0)
            return code, out.read().decode("utf-8", "replace").replace("\r", "")

    def unix(self, path):
        """A path below C:\\ as the host sees it."""
        return os.path.join(self.path, "drive_c", path)


def windows(path):
    """A host path as Wine's Z: drive names it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")
