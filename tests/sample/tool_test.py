#!/usr/bin/env python3
"""The tessary tool end to end: in a prefix of its own made to look like a PC
with the sample programs installed, every command's JSON is checked against
that PC, each kind of error against its exit code and message, and a script
host walks the installed-program list. Every document is validated against
its command's schema (host/tool/schemas). The prefix is kept between runs:
preparing it again is cheap, creating it is not.

    tool_test.py ARCH DLL TOOL SOURCE_ROOT PREFIX
"""
import concurrent.futures
import csv
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata

from jsonschema import Draft202012Validator

arch, dll, tool, root, prefix = sys.argv[1:6]
env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
           WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
failures = []


def wine(*args, cwd=None, raw=False, timeout=240):
    # Output goes through files, not pipes: a helper process Wine starts (a
    # COM surrogate, say) would hold a pipe open for as long as it lives.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(["wine", *args], env=env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, timeout=timeout, cwd=cwd).returncode
        out.seek(0)
        err.seek(0)
        stdout = out.read()
        return (code, stdout if raw else stdout.decode("utf-8", "replace"),
                err.read().decode("utf-8", "replace").replace("\r", ""))


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def tessary(*args, **options):
    return wine("C:\\tessary\\tessary.exe", *args, **options)


validators, validated = {}, set()
for name in os.listdir(os.path.join(root, "host", "tool", "schemas")):
    with open(os.path.join(root, "host", "tool", "schemas", name)) as f:
        schema = json.load(f)
    Draft202012Validator.check_schema(schema)
    command = name[:-len(".json")]
    validators[command] = Draft202012Validator(schema)


# Every object a schema describes names its fields and allows no other, and the
# test sees every field with a value (not null, not empty) at least once: a
# field the sample PC never fills would let a misspelt name pass.
def schema_nodes(node, pointer):
    yield pointer, node
    children = node.items() if isinstance(node, dict) else \
        enumerate(node) if isinstance(node, list) else ()
    for key, value in children:
        yield from schema_nodes(value, f"{pointer}/{key}")


field_values = {}
for command, validator in validators.items():
    for pointer, node in schema_nodes(validator.schema, "#"):
        if not isinstance(node, dict) or not (isinstance(node.get("properties"), dict) or
                                              node.get("type") == "object"):
            continue
        check(node.get("additionalProperties") is False or
              node.get("unevaluatedProperties") is False,
              f"{command}.json {pointer}: other fields than those named are allowed")
        for key in node.get("properties", {}):
            field_values[(command, f"{pointer}/properties/{key}")] = False


def resolved(command, node):
    while "$ref" in node:
        ref, node = node["$ref"], validators[command].schema
        for part in ref[2:].split("/"):
            node = node[part]
    return node


def fits(command, branch, value):
    """Whether `value` is what a oneOf branch describes (null, a step of its
    kind, an object, an array)."""
    branch = resolved(command, branch)
    step = branch.get("properties", {}).get("step", {}).get("const")
    if step is not None:
        return isinstance(value, dict) and value.get("step") == step
    return {"null": value is None, "object": isinstance(value, dict),
            "array": isinstance(value, list)}.get(branch.get("type"), False)


def note_fields(command, value, node=None, pointer="#"):
    node = validators[command].schema if node is None else node
    if "$ref" in node:
        pointer, node = node["$ref"], resolved(command, node)
    for i, branch in enumerate(node.get("oneOf", [])):
        if fits(command, branch, value):
            note_fields(command, value, branch, f"{pointer}/oneOf/{i}")
    if isinstance(value, dict):
        for key, inner in node.get("properties", {}).items():
            if key in value:
                if value[key] not in (None, [], ""):
                    field_values[(command, f"{pointer}/properties/{key}")] = True
                note_fields(command, value[key], inner, f"{pointer}/properties/{key}")
    if isinstance(value, list) and "items" in node:
        for item in value:
            note_fields(command, item, node["items"], f"{pointer}/items")


# --- The data files against their XML Schemas (data/schemas) -----------------------
SCHEMA_OF = {"kasoftwareveridentify.xml": "identify", "kaantivirusidentify.xml": "antivirus",
             "karecommendsoft.xml": "recommend", "catalog.xml": "catalog",
             "regkeys.xml": "regkeys", "ignorelist.xml": "ignorelist"}


def schema_problems(path):
    """xmllint's complaints about a data file, empty when it keeps to its schema."""
    name = os.path.basename(path).lower()
    kind = SCHEMA_OF.get(name, "softtype" if "softtype" in path.lower() else None)
    result = subprocess.run(["xmllint", "--noout", "--schema",
                             os.path.join(root, "data", "schemas", kind + ".xsd"), path],
                            capture_output=True, text=True)
    return "" if result.returncode == 0 else result.stderr


if shutil.which("xmllint"):
    for base, _, names in os.walk(os.path.join(root, "data")):
        for name in names:
            if name.endswith(".xml"):
                problems = schema_problems(os.path.join(base, name))
                check(not problems, f"{name} against its schema: {problems}")
else:
    print("skipped: no xmllint to check the data files against their schemas")


def document(*args, with_error=False):
    code, out, err = tessary("--json", *args)
    check(code == 0, f"{args} exited {code}: {err}")
    try:
        result = json.loads(out)
    except ValueError:
        check(False, f"{args} printed no JSON: {out[:200]}")
        return ({}, err) if with_error else {}
    valued = {"--data", "--dll", "--format"}
    command = next(arg for i, arg in enumerate(args)
                   if not arg.startswith("--") and (i == 0 or args[i - 1] not in valued))
    validated.add(command)
    for problem in validators[command].iter_errors(result):
        check(False, f"{args}: {problem.json_path}: {problem.message}")
    note_fields(command, result)
    return (result, err) if with_error else result


def by(items, field):
    return {item[field]: item for item in items}


# --- The PC ------------------------------------------------------------------
# The server and Wine's helper processes start detached from any pipe of
# ours: they would hold it open for as long as they live.
quiet = dict(env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
             stderr=subprocess.DEVNULL)
if not os.path.exists(os.path.join(prefix, "system.reg")):
    os.makedirs(prefix, exist_ok=True)
    subprocess.run(["wineboot", "-i"], **quiet)
    subprocess.run(["wineserver", "-w"], **quiet)
subprocess.run(["wineserver", "-p"], **quiet)
subprocess.run(["wine", "cmd", "/c", "exit"], **quiet)
folder = os.path.join(prefix, "drive_c", "tessary")
shutil.rmtree(folder, ignore_errors=True)
os.makedirs(folder)
shutil.copy(dll, folder)
shutil.copy(tool, folder)
for data in ("KaData", "host"):
    shutil.copytree(os.path.join(root, "data", data), os.path.join(folder, data))
check(wine("regsvr32", "/s", "C:\\tessary\\Tessary.dll")[0] == 0, "regsvr32")
# The last section adds Uninstall entries (with reg import; per-machine ones
# in the 64-bit view) and takes them away again, here too, as the prefix
# outlives a run: Wine's reg import deletes no keys, so the 64-bit view's
# Uninstall key goes whole and the sample PC script writes it anew.
UNINSTALL = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"


def reg_import(lines, view):
    path = os.path.join(folder, "entries.reg")
    with open(path, "w", encoding="utf-16") as f:
        f.write("Windows Registry Editor Version 5.00\n\n" + "\n".join(lines) + "\n")
    return wine("reg", "import", "C:\\tessary\\entries.reg", f"/reg:{view}")[0]


def reg_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def remove_added():
    wine("reg", "delete", f"HKLM\\{UNINSTALL}", "/f", "/reg:64")
    wine("reg", "delete", f"HKCU\\{UNINSTALL}\\DriftwoodSync", "/f")


remove_added()
subprocess.run(["sh", os.path.join(root, "scripts", "sample-pc.sh")], **quiet)

# Two programs whose registry text is hostile to a console or a spreadsheet:
# escape sequences, CR LF, TAB, DEL and a C1 control; wide characters, an
# emoji and a combining accent; values a spreadsheet would run as formulas.
HOSTILE = {
    "Probe Escapes": {"DisplayName": "Esc\x1b[31mRed\x1b[0m CR\r\nLF\tTab\x7fDel\x9bCsi",
                      "DisplayVersion": '=HYPERLINK("x")', "Publisher": "@SUM(1)"},
    "Probe Wide": {"DisplayName": "\u5bbd\u5b57\u7b26\u8f6f\u4ef6 \U0001F4E6 Cafe\u0301",
                   "DisplayVersion": "+1,2", "Publisher": "-x"},
}


def reg_string(text):
    # hex(1) keeps every character, control characters included.
    return "hex(1):" + ",".join("%02x" % b for b in (text + "\0").encode("utf-16-le"))


lines = ["Windows Registry Editor Version 5.00", ""]
for key, values in HOSTILE.items():
    lines.append("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                 + key + "]")
    for name, value in dict(values, UninstallString="x").items():
        lines.append(f'"{name}"={reg_string(value)}')
    lines.append("")
with open(os.path.join(folder, "hostile.reg"), "w", encoding="utf-16") as f:
    f.write("\r\n".join(lines))
check(wine("reg", "import", "C:\\tessary\\hostile.reg")[0] == 0, "reg import")

# A program whose key sits in both registry views, the older version in the
# view the component reads first: added for one case below, gone otherwise.
own, other = ("32", "64") if arch == "x86" else ("64", "32")
tallow = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TallowSheets"


def tallow_in_both_views(present):
    for view, version in ((own, "1.5"), (other, "2.0")):
        if present:
            for value, data in (("DisplayName", "Tallow Sheets"), ("DisplayVersion", version),
                                ("UninstallString", "C:\\Tallow\\uninstall.exe")):
                wine("reg", "add", tallow, "/v", value, "/d", data, "/f", "/reg:" + view)
        else:
            wine("reg", "delete", tallow, "/f", "/reg:" + view)


tallow_in_both_views(False)

# --- Every command, as JSON ---------------------------------------------------------
# 64-bit programs sit in the 64-bit view, 32-bit ones in the 32-bit view: both
# builds list them all, each with where it was read.
listed = document("list")
programs = by(listed["programs"], "key")
for key, source, version in [("Brightfield Browser", "machine64", "24.1.0"),
                             ("Larkspur Archiver_is1", "machine64", "5.3"),
                             ("{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}", "machine32", "10.0"),
                             ("QuillpadNotes", "machine32", "4.5"),
                             ("MooncastPlayer", "user", "v3.8.1")]:
    check(key in programs and programs[key]["source"] == source
          and programs[key]["displayVersion"] == version, f"list: {key} {source} {version}")
check(programs.get("Ferncut Video Editor", {}).get("displayVersion", "") is None,
      "list: a missing value is null")
check(listed["programCount"] == len(listed["programs"]), "list: programCount")
check([programs["Brightfield Browser"][f] for f in ("installLocation", "installDate", "estimatedSize")]
      == ["C:\\Program Files\\Brightfield", "20240115", 184320], "list: the entry's other values")
user = document("list", "--source", "user", "--sort", "name")["programs"]
check(user and all(p["source"] == "user" for p in user)
      and [p["displayName"] for p in user] == sorted((p["displayName"] for p in user), key=str.lower),
      "list: one view, by name")
versions = [p["displayVersion"] for p in document("list", "--sort", "version")["programs"]]
check(versions.index("4.5") < versions.index("10.0") < versions.index("24.1.0")
      and versions[-1] is None, f"list: versions by their numbers, absent last: {versions}")

status = by(document("status", "Brightfield Browser", "Larkspur Archiver", "Pebble Photo Viewer",
                     "Tallow Sheets", "Nothing Known")["programs"], "name")
check(status["Brightfield Browser"]["status"] == "installed"
      and status["Brightfield Browser"]["installedVersion"] == "24.1.0"
      and status["Brightfield Browser"]["uninstallString"].endswith("uninstall.exe\" /S"),
      "status: a 64-bit program")
check(status["Larkspur Archiver"]["installedVersion"] == "5.3.2600.5512",
      "status: a version file")
check(status["Pebble Photo Viewer"]["installedVersion"] == "5.1.10.1027",
      "status: a start-menu program")
check(status["Tallow Sheets"]["status"] == "notInstalled", "status: not installed")
check(status["Nothing Known"]["status"] == "noIdentifyInfo", "status: no rules")
check(status["Brightfield Browser"]["mainType"] is not None, "status: main type by key")

# The exact check reads Uninstall records only; what status finds otherwise is
# said beside its answer.
for args, want in [(("Pebble Photo Viewer", "5.1.10.1027"), ("notInstalled", "startmenu")),
                   (("Mooncast Player", "3.9"), ("notInstalled", "regkey")),
                   (("Mooncast Player", "3.8.1"), ("installed", "regkey"))]:
    checked = document("check", *args)
    check((checked["status"], checked["identifiedStatus"], checked["foundBy"]) ==
          (want[0], "installed", want[1]) and (checked["note"] is None) == (want[0] == "installed"),
          f"check {args} beside status: {checked}")
code, out, err = tessary("check", "Pebble Photo Viewer", "5.1.10.1027")
check(code == 0 and "start menu" in out, f"check: the table says why status differs: {out!r}")

updates = document("updates")
check((updates["programCount"], updates["versionCount"], updates["ignoredVersionCount"]) ==
      (6, 7, 2), "updates: counts")
newer = by(by(updates["programs"], "name")["brightfield browser"]["versions"], "version")
check(newer["26.0"]["trial"] and newer["26.0"]["ignored"] and not newer["25.0.2"]["ignored"],
      "updates: trial and ignored marks")
check(not any(v["installedElsewhere"] for p in updates["programs"] for v in p["versions"]),
      "updates: nothing installed elsewhere")
# The newer version under the other view's record: offered, and marked.
tallow_in_both_views(True)
offered = by(document("updates")["programs"], "name").get("tallow sheets", {})
check(offered.get("installedVersion") == "1.5"
      and [(v["version"], v["installedElsewhere"]) for v in offered["versions"]] == [("2.0", True)],
      f"updates: a version installed under another record is marked: {offered}")
check(document("check", "Tallow Sheets", "2.0")["status"] == "installed",
      "updates: check agrees with the mark")
code, out, err = tessary("updates")
check("2.0 (installed elsewhere)" in out, f"updates: the table marks it: {out!r}")
tallow_in_both_views(False)

catalog = document("catalog")
check([catalog[f] for f in ("programCount", "recommendedProgramCount", "oneKeyProgramCount",
                            "popularProgramCount")] == [9, 3, 4, 4], "catalog: counts")
check(len(catalog["programs"]) == 9, "catalog: entries")
# A type identifier missing from the catalog's type list.
unlisted = os.path.join(folder, "unlisted")
shutil.copytree(os.path.join(folder, "host"), unlisted)
with open(os.path.join(unlisted, "catalog.xml"), encoding="utf-8") as f:
    text = f.read().replace('<software main_type="1"\n', '<software main_type="9"\n')
with open(os.path.join(unlisted, "catalog.xml"), "w", encoding="utf-8") as f:
    f.write(text)
unknown = document("--data", "C:\\tessary\\unlisted", "catalog")
check(by(unknown["programs"], "name")["driftwood mail"]["mainType"] is None,
      "catalog: an unknown main type is null")
types = document("types", "{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}", "NoSuchKey")["keys"]
check(types[0]["mainType"] == "Office" and types[1]["mainType"] is None, "types")
lists = document("recommend")["lists"]
check(len(lists) == 3 and any(p["name"] == "Tallow Sheets" and p["status"] == "notInstalled"
                              for l in lists for p in l["programs"]), "recommend")
antivirus = document("antivirus")
check(antivirus["status"] == "installed" and antivirus["product"] == "kestrel", "antivirus")

why = document("why", "Pebble Photo Viewer")
check(why["status"] == "installed" and why["winner"]["kind"] == "startmenu"
      and why["winner"]["folder"] == "Pebble Photo Viewer" and why["matchingEntries"] is None,
      "why: identified through the start menu")
why = document("why", "Cobblestone PDF Reader")
check(why["winner"]["key"] == "{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}"
      and why["winner"]["source"] == "machine32" and why["winner"]["decision"].startswith("newer")
      and why["installedVersion"] == "10.0.19041.1", f"why: the newer of two keys wins: {why}")
record = why["steps"][1]["steps"][0]
check(record["step"] == "record" and record["found"] is True and record["source"] == "machine32",
      "why: where a key was found")

# Each kind of step with its fields: the Add/Remove Programs cache's file, an
# alternative version path, a start-menu location a registered key made moot.
steps = [s for step in document("why", "Quillpad Notes")["steps"] for s in step["steps"]]
check(any(s["step"] == "record" and s["arpImage"] == "C:\\Program Files (x86)\\Quillpad\\quillpad.exe"
          for s in steps), f"why: the cache entry's file: {steps}")
steps = [s for step in document("why", "Ferncut Video Editor")["steps"] for s in step["steps"]]
check([s["path"] for s in steps if s["step"] == "alternative"] == ["bin\\ferncut.exe"],
      f"why: an alternative version path: {steps}")
menu = [s for s in document("why", "Mooncast Player")["steps"] if s["step"] == "startmenu"]
check(len(menu) == 1 and menu[0]["skipped"] is True and menu[0]["skippedBecause"],
      f"why: a start-menu location a key made moot: {menu}")

# Names from `list` (key or display name, any case) lead to the rules that
# name the key, or to none.
for command, name, want in [
        ("why", "Larkspur Archiver 5.3", [("Larkspur Archiver_is1", "displayName",
                                           ["larkspur archiver"])]),
        ("why", "{7a1d3c55-2b9e-4f60-8c1a-5d3e9b0f2a47}",
         [("{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}", "key", ["cobblestone pdf reader"])]),
        ("why", "kestrel internet security", [("Kestrel Internet Security", "key", [])]),
        ("why", "Nothing Known", []),
        ("status", "MooncastPlayer", [("MooncastPlayer", "key", ["mooncast player"])])]:
    answer = document(command, name)
    answer = answer["programs"][0] if command == "status" else answer
    got = [(e["key"], e["matchedBy"], e["ruleNames"]) for e in answer["matchingEntries"]]
    check(answer["status"] == "noIdentifyInfo" and got == want, f"{command} {name}: {got}")
code, out, err = tessary("why", "Kestrel Internet Security")
check("no rule names this key" in out, f"why: the table says no rule knows the key: {out!r}")
shipped = document("validate")
check(shipped.get("errorCount") == 0 and len(shipped.get("files", [])) == 8 and
      not shipped.get("problems"), f"validate: the shipped data: {shipped.get('problems')}")
check(validated == set(validators), f"schemas without a command run: {set(validators) - validated}")

# --- Registry text on a console and in a spreadsheet ----------------------------------
def columns(text):
    return sum(0 if unicodedata.combining(c) or c == "\u200b" else
               2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


code, raw, err = tessary("list", raw=True)
text = raw.decode("utf-8")
check(code == 0 and not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f]", text),
      f"list table: a raw control character reached the output: {text!r}")
check("Esc\\e[31mRed\\e[0m CR\\r\\nLF\\tTab\\x7fDel\\u009bCsi" in text,
      "list table: control characters shown escaped")
header = text.splitlines()[0]
for key in HOSTILE:
    row = next((line for line in text.splitlines() if line.endswith(key)), "")
    # Redirected output is never cut, and every column starts where its
    # header does, counted in console columns.
    check(row and columns(row[:row.rindex(key)]) == columns(header[:header.index("KEY")])
          and HOSTILE[key]["DisplayVersion"] in row,
          f"list table: {key} aligned by display width: {row!r} under {header!r}")

listed = by(document("list")["programs"], "key")
check(all(listed[key]["displayName"] == values["DisplayName"] for key, values in HOSTILE.items()),
      "list JSON: registry text whole, in JSON's own escaping")
code, raw, err = tessary("--format", "csv", "list", raw=True)
rows = list(csv.reader(io.StringIO(raw.decode("utf-8"), newline="")))
check(code == 0 and raw.endswith(b"\r\n") and rows[0] == ["DISPLAY NAME", "DISPLAY VERSION", "SOURCE", "KEY"]
      and len(rows) == len(listed) + 1, f"list CSV: one header, a row per program: {raw[:300]!r}")
csv_rows = {row[3]: row for row in rows[1:]}
for key, values in HOSTILE.items():
    check(csv_rows.get(key, [None])[0] == values["DisplayName"]
          and csv_rows[key][1] == "'" + values["DisplayVersion"],
          f"list CSV: {key} whole, formula guarded: {csv_rows.get(key)}")
check(csv_rows["Ferncut Video Editor"][1] == "", "list CSV: a missing value is empty")
code, raw, err = tessary("--format", "csv", "recommend", raw=True)
rows = list(csv.reader(io.StringIO(raw.decode("utf-8"), newline="")))
check(code == 0 and rows[0] == ["LIST", "ORDER", "NAME", "STATUS", "INSTALLED VERSION"]
      and len({row[0] for row in rows[1:]}) == 3
      and sum(len(l["programs"]) for l in lists) == len(rows) - 1,
      f"recommend CSV: one header, every list's programs named by their list: {rows}")
check(tessary("--format", "json", "types", "x")[1] == tessary("--json", "types", "x")[1],
      "--format json is --json")

# --- Conventions: version, help, exit codes ------------------------------------------
# The build's version (CMakeLists.txt), with the resource's fourth field.
with open(os.path.join(os.path.dirname(os.path.dirname(tool)), "version.txt")) as f:
    version = re.escape(f.read().strip() + ".0")
code, out, err = tessary("--version")
check(code == 0 and re.search(rf"tessary +{version} +C:\\tessary\\tessary\.exe", out)
      and re.search(rf"Tessary\.dll +{version} +C:\\tessary\\Tessary\.dll", out),
      f"--version: {code} {out!r} {err!r}")
code, out, err = tessary("--json", "--version", "--registered")
check(code == 0 and json.loads(out)["dll"]["path"].lower().endswith("tessary.dll"),
      f"--version: the registered DLL: {out!r} {err!r}")
for args in (["help", "updates"], ["updates", "--help"]):
    code, out, err = tessary(*args)
    check(code == 0 and "updates" in out and "--exit-code" in out and "--format" in out,
          f"{args}: the command's help with the global options: {out!r}")

# With --exit-code a "no" (not installed, not known) and "there are updates"
# exit 3; without it every answer exits 0.
for args, want in [(["status", "Brightfield Browser"], 0),
                   (["status", "Brightfield Browser", "Tallow Sheets"], 3),
                   (["status", "Nothing Known"], 3),
                   (["check", "Mooncast Player", "3.8.1"], 0),
                   (["check", "Mooncast Player", "3.9"], 3),
                   (["why", "Pebble Photo Viewer"], 0),
                   (["why", "Nothing Known"], 3),
                   (["updates"], 3),
                   (["catalog"], 0)]:
    got = tessary("--json", "--exit-code", *args)[0]
    check(got == want, f"--exit-code {args}: exit {got}, want {want}")
    if want == 3:
        got = tessary("--json", *args)[0]
        check(got == 0, f"{args} without --exit-code: exit {got}")

# A relative data folder is taken from the current folder.
code, out, err = tessary("--data", "host", "--json", "catalog", cwd=folder)
check(code == 0, f"--data host from the tool's folder: {code} {err!r}")

# --- Errors: one line, in words, named code, exit code --------------------------------
def error(args, code, *texts):
    got, out, err = tessary(*args)
    check(got == code and all(text in err for text in texts) and err.count("\n") == 1,
          f"{args}: exit {got} (want {code}), stderr {err!r} (want {texts!r})")

error(["frobnicate"], 2, 'unknown command "frobnicate"; the commands are list,', "E_INVALIDARG")
error(["--data", "x", "lst"], 2, 'unknown command "lst": did you mean "list"?')
error(["help", "chek"], 2, 'did you mean "check"?')
error(["list", "--colour"], 2, "E_INVALIDARG")
error(["--format", "csv", "status", "x"], 2, "status prints no table")
error(["--format", "xml", "list"], 2, "E_INVALIDARG")
error(["--version", "--dll", "C:\\tessary\\walk.js"], 2, "walk.js")
error(["--data", "C:\\nowhere", "catalog"], 2, "data folder C:\\nowhere: ", "(0x80070003)")
error(["--dll", "C:\\tessary\\Missing.dll", "list"], 2, "Missing.dll: ", "(0x80070002)")
code, out, err = tessary("--dll", "C:\\tessary\\Missing.dll", "list")
check(re.search(r": \w[^():]* \(0x80070002\)$", err.strip()), f"an error in words: {err!r}")

# A DLL of the other bitness is named as such, with the tool to use.
other_arch = "x86" if arch == "x64" else "x64"
other_dll = dll.replace(os.sep + arch + os.sep, os.sep + other_arch + os.sep)
if other_dll != dll and os.path.exists(other_dll):
    os.makedirs(os.path.join(folder, "other"))
    shutil.copy(other_dll, os.path.join(folder, "other"))
    bits = {"x86": "32", "x64": "64"}
    error(["--dll", "C:\\tessary\\other\\Tessary.dll", "list"], 2,
          f"a {bits[other_arch]}-bit DLL", f"use the {bits[other_arch]}-bit tessary.exe")
else:
    print(f"skipped: no {other_arch} build beside this one to load a DLL of the other bitness")
bad = os.path.join(folder, "bad")
shutil.copytree(os.path.join(folder, "host"), bad)
for file, content, text in [
        ("regkeys.xml", "<vedad><soft name='x'>", "regkeys.xml is not well-formed XML: "),
        ("regkeys.xml", "<foo/>", 'regkeys.xml is read as empty: expected a "vedad" element'),
        ("regkeys.xml", "<vedad result='1'/>", 'regkeys.xml is read as empty: expected result 0'),
        ("catalog.xml", "<html><body/></html>", 'catalog.xml is read as empty: expected a "vedad"'),
        # The catalog is checked by streaming where its shape allows, else by
        # the document parser: both must judge alike.
        ("catalog.xml", "<vedad><software_list>", "catalog.xml is not well-formed XML: "),
        ("catalog.xml", "<vedad>Tom & Jerry</vedad>", "catalog.xml is not well-formed XML: "),
        ("catalog.xml", "<?xml version='1.0' encoding='ISO-8859-1'?><html/>",
         'catalog.xml is read as empty: expected a "vedad"'),
        ("catalog.xml", "<data><!-- first --><vedad/></data>", None),
        ("catalog.xml", "<?xml version='1.0' encoding='ISO-8859-1'?><data><vedad/></data>", None)]:
    with open(os.path.join(bad, file), "w") as f:
        f.write(content)
    if text is None:
        got, out, err = tessary("--data", "C:\\tessary\\bad", "status", "x")
        check(got == 0, f"{content!r} as {file}: exit {got}, stderr {err!r}")
    else:
        error(["--data", "C:\\tessary\\bad", "status", "x"], 2, text)
    shutil.copy(os.path.join(folder, "host", file), bad)
# A folder where a data file should be is named as one, not as malformed XML.
shutil.copytree(os.path.join(folder, "host"), os.path.join(folder, "folders"))
for name in ("catalog.xml", "ignorelist.xml"):
    os.replace(os.path.join(folder, "folders", name), os.path.join(folder, "folders", "x"))
    os.makedirs(os.path.join(folder, "folders", name))
    error(["--data", "C:\\tessary\\folders", "updates"], 2,
          f"folders\\{name} is a folder, not a file: ")
    os.rmdir(os.path.join(folder, "folders", name))
    os.replace(os.path.join(folder, "folders", "x"), os.path.join(folder, "folders", name))
error(["--dll", "C:\\nowhere\\Tessary.dll", "list"], 2, "DLL folder C:\\nowhere: ",
      "(0x80070003)")

# --- validate: one mistake of each kind, each in an otherwise sound copy ----------------
# (file, text replaced, replacement, severity, message, the schema rejects it too)
RULES, CATALOG = "KaData/KaSoftwareVerIdentify.xml", "host/catalog.xml"
TALLOW = '<regkey displayname="Tallow Sheets" policy="0">TallowSheets</regkey>'
MISTAKES = [
    (RULES, '<soft name="Tallow Sheets">', '<soft name="Tallow Sheets"', "error",
     "not well-formed XML", True),
    (RULES, '<regkey displayname="Cobblestone PDF Reader 9" policy="0">CobblestonePDF</regkey>',
     '<regkye displayname="Cobblestone PDF Reader 9" policy="0">CobblestonePDF</regkye>', "error",
     'unknown element "regkye"', True),
    (RULES, TALLOW, TALLOW.replace("policy", "polcy"), "error", 'unknown attribute "polcy"', True),
    (RULES, TALLOW, TALLOW.replace('"0"', '"7"'), "error", "not a version policy (0 to 5)", True),
    (CATALOG, 'totaldownloadtimes="2840117"', 'totaldownloadtimes="2.8M"', "error",
     "is not a non-negative number", True),
    ("KaData/KaRecommendSoft.xml", "<importance>10<", "<importance>ten<", "error",
     '"ten" is not a number', True),
    ("KaData/KaAntivirusIdentify.xml", 'value="BastionGuardFree"', 'vaule="BastionGuardFree"',
     "error", 'unknown attribute "vaule"', True),
    ("host/regkeys.xml", 'result="0"', 'result="1"', "error", "the reader refuses the whole file",
     False),
    (RULES, '<soft name="Tallow Sheets">', '<soft name="brightfield browser">', "warning",
     'program "brightfield browser" is named twice', False),
    (RULES, 'policy="3" ver_filepath="larkspur.exe"', 'policy="3"', "warning",
     "no ver_filepath names the file", False),
    (RULES, TALLOW, TALLOW.replace(">TallowSheets<", "><"), "warning",
     "keys and start-menu folder are all empty", False),
    ("KaData/SoftType/desktop.xml", 'regkey="TallowSheets" maintype="2"',
     'regkey="TallowSheets" maintype="12"', "warning", 'main type 12 of "TallowSheets"', False),
    ("KaData/KaRecommendSoft.xml", "<funtion0>Media</funtion0><order>2<",
     "<funtion0>media</funtion0><order>2<", "warning", 'funtion0 "media" names no list', False),
    ("host/ignorelist.xml", 'name="Mooncast Player"', 'name="Moonkast Player"', "warning",
     '"Moonkast Player" is not in the catalog', False),
]
mistaken = os.path.join(folder, "mistaken")
baseline = {p["message"] for p in shipped.get("problems", [])}
for file, old, new, severity, message, schema_rejects in MISTAKES:
    shutil.rmtree(mistaken, ignore_errors=True)
    for data in ("KaData", "host"):
        shutil.copytree(os.path.join(root, "data", data), os.path.join(mistaken, data))
    path = os.path.join(mistaken, *file.split("/"))
    with open(path) as f:
        text = f.read()
    check(old in text, f"validate: {file} holds {old!r} to replace")
    with open(path, "w") as f:
        f.write(text.replace(old, new, 1))
    # The default files: KaData beside the DLL named (never loaded) and --data.
    args = ["--dll", "C:\\tessary\\mistaken\\Tessary.dll", "--data", "C:\\tessary\\mistaken\\host",
            "validate"]
    code, out, err = tessary("--json", *args)
    got = json.loads(out) if out.strip() else {}
    for problem in validators["validate"].iter_errors(got):
        check(False, f"validate {file}: {problem.json_path}: {problem.message}")
    note_fields("validate", got)
    new_problems = [p for p in got.get("problems", []) if p["message"] not in baseline]
    found = [p for p in new_problems if p["severity"] == severity and message in p["message"]
             and p["file"].lower().endswith(file.split("/")[-1].lower())]
    check(found and all(p["file"] == found[0]["file"] and p["severity"] == severity
                        for p in new_problems),
          f"validate: {message!r} in {file}: {new_problems}")
    check(code == (2 if severity == "error" else 0), f"validate {message!r}: exit {code}")
    if severity == "warning":
        check(tessary("--exit-code", *args)[0] == 3, f"validate --exit-code: {message!r}")
    if found and message == "not well-formed XML":
        check(found[0]["line"] and found[0]["column"], f"validate: where it stops: {found[0]}")
        code, out, err = tessary(*args)
        check(re.search(r"KaSoftwareVerIdentify\.xml:\d+:\d+: error: not well-formed", out),
              f"validate: the line in the table: {out!r}")
    # A problem in an element: its path, and the line and column of its name.
    lines = text.replace(old, new, 1).splitlines()
    for problem in found:
        if problem["element"] is None:
            continue
        tag = re.sub(r"\[\d+\]$", "", problem["element"].rsplit("/", 1)[-1])
        line, column = problem["line"], problem["column"]
        check(line and column and line <= len(lines) and lines[line - 1][column - 2:].startswith("<" + tag),
              f"validate {message!r}: {problem['element']} is not at {line}:{column}")
    if found and message == 'unknown attribute "polcy"':
        code, out, err = tessary(*args)
        check(re.search(r"KaSoftwareVerIdentify\.xml:\d+:\d+: /vedad/soft\[\d+\]/regkey\[\d+\]: "
                        r'error: unknown attribute "polcy"', out),
              f"validate: a format problem in the table: {out!r}")
    if shutil.which("xmllint"):
        check(bool(schema_problems(path)) == schema_rejects,
              f"validate {message!r}: the schema {'accepts' if schema_rejects else 'rejects'} it")
# Files named on the command line: the format told by the name, else the root.
# `at`: the text whose "<" starts the element the problem names; the problem
# is placed at its name. None: no line and column.
SOFT = '<software main_type="1"><name>{}</name><version version="1"/></software>'
given = os.path.join(folder, "given")
os.makedirs(given, exist_ok=True)
for name, content, form, severity, message, at in [
        ("nothing.xml", None, None, "error", "no such file", None),
        ("page.xml", "<html><body/></html>", None, "error", "not a data file of any known format",
         None),
        ("cut.xml", "<vedad>\n  <soft name='x'>\n</vedad>\n", None, "error", "not well-formed", None),
        ("rules.xml", '<vedad>\n  <soft name="a"><start_menu path="A" policy="9"/></soft>\n</vedad>',
         "identify", "error", 'policy="9" is not a version policy', "<start_menu"),
        # Attribute names in any case, as the loader takes them; element names
        # exactly. An empty element before it: the places count it.
        ("rules-case.xml", '<vedad><soft name="a">\n<regkey Policy="0">A</regkey><regkey/>\n'
         '\t<RegKey policy="0">B</RegKey></soft></vedad>', "identify", "error",
         'unknown element "RegKey"', "<RegKey"),
        ("keys.xml", '<vedad><soft name="a"><regkey>A</regkey><regkey/></soft></vedad>',
         "regkeys", "error", 'the text "" is empty', "<regkey/>"),
        ("av.xml", "<antivirus><KaAntivirus/></antivirus>", "antivirus", "error",
         "finds no antivirus product", None),
        ("catalog.xml", '<vedad><main_type_list><type id="1"><name>A</name></type></main_type_list>'
         "<software_list>\n" + SOFT.format("Twice") + "\n " + SOFT.format("twice") +
         "</software_list></vedad>", "catalog", "warning",
         'program "twice" is named twice: only the first', SOFT.format("twice")),
        # The streaming reader refuses a document type: the place alone.
        ("doctype.xml", '<?xml version="1.0"?>\n<!DOCTYPE vedad>\n<vedad>\n  <soft name="a">'
         '<start_menu path="A" policy="9"/></soft>\n</vedad>', "identify", "error",
         'policy="9" is not a version policy', None)]:
    if content is not None:
        with open(os.path.join(given, name), "w") as f:
            f.write(content)
    code, out, err = tessary("--json", "validate", "C:\\tessary\\given\\" + name)
    got = json.loads(out) if out.strip() else {}
    for problem in validators["validate"].iter_errors(got):
        check(False, f"validate {name}: {problem.json_path}: {problem.message}")
    note_fields("validate", got)
    problems = [(p["severity"], p["message"]) for p in got.get("problems", [])]
    check(code == (2 if severity == "error" else 0) and len(problems) == 1 and
          problems[0][0] == severity and message in problems[0][1] and
          got["files"][0]["format"] == form, f"validate {name}: {code} {got}")
    if not got.get("problems"):
        continue
    problem = got["problems"][0]
    if name == "cut.xml":
        # The end tag that does not match is on line 3.
        check(problem["line"] == 3 and problem["column"], f"validate: where {name} stops: {problem}")
        continue
    before = content[:content.index(at)] if at else None
    expected = (before.count("\n") + 1, len(before) - before.rfind("\n") + 1) if at else (None, None)
    check((problem["line"], problem["column"]) == expected and
          (problem["element"] is not None) == (form is not None and name != "av.xml"),
          f"validate {name}: placed at {problem['line']}:{problem['column']} "
          f"{problem['element']}, not {expected}")

# The component's own data files, beside the DLL loaded: each broken set is
# refused with the file named, not answered as if nothing were installed.
rules = "KaSoftwareVerIdentify.xml"
with open(os.path.join(folder, "KaData", rules), "rb") as f:
    whole = f.read()
for name, broken, args, text in [
        ("none", None, ["status", "x"], "component data folder"),
        ("cut", {rules: whole[:len(whole) // 2]}, ["why", "x"], rules + " is not well-formed XML"),
        ("root", {rules: b"<rules><soft name='x'/></rules>"}, ["check", "x", "1"],
         rules + ' is read as empty: expected a "vedad" element'),
        ("antivirus", {"KaAntivirusIdentify.xml": None}, ["antivirus"],
         "KaAntivirusIdentify.xml: "),
        ("types", {"SoftType\\desktop.xml": b"<vedad><soft "}, ["types", "x"],
         "desktop.xml is not well-formed XML"),
        ("notypes", {"SoftType\\desktop.xml": None, "SoftType\\media\\media.xml": None},
         ["types", "x"], "SoftType holds no .xml type file: "),
        ("typeroot", {"SoftType\\desktop.xml": b"<types/>"}, ["status", "x"],
         'desktop.xml is read as empty: expected a "vedad" element')]:
    place = os.path.join(folder, "broken", name)
    os.makedirs(place)
    shutil.copy(dll, place)
    if broken is not None:
        shutil.copytree(os.path.join(folder, "KaData"), os.path.join(place, "KaData"))
        for file, content in broken.items():
            path = os.path.join(place, "KaData", *file.split("\\"))
            os.remove(path)
            if content is not None:
                with open(path, "wb") as f:
                    f.write(content)
    error(["--dll", f"C:\\tessary\\broken\\{name}\\Tessary.dll", *args], 2, text)
# KaCommonSoft has no registration entries: asked through them, it fails.
error(["--registered", "why", "x"], 1, "creating KaCommonSoft through the registration: ",
      "REGDB_E_CLASSNOTREG")

# --- The tool, swept: every shipped data file broken every way, under every reader ------
# Each command that reads a data file runs on each shipped file broken in each
# way the tool reports. A run either exits 2 with one line naming the file, or,
# where the broken file is still valid, answers as the intact data does. The
# runs go through the tool's batch option (many commands in one process, each
# with its output and exit code captured), one process per file, and a few
# are run again as processes of their own to show the batch answers as they do.
# With --exit-code, a "no" (3) built on a broken file is caught too.
SWEEP_COMMANDS = {
    "status": ["status", "Brightfield Browser", "Pebble Photo Viewer", "Larkspur Archiver",
               "Nothing Known"],
    "check": ["check", "Mooncast Player", "3.8.1"],
    "why": ["why", "Cobblestone PDF Reader"],
    "updates": ["updates"],
    "catalog": ["catalog"],
    "types": ["types", "{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}", "MooncastPlayer"],
    "recommend": ["recommend"],
    "antivirus": ["antivirus"],
}
# The commands that read each file: the status manager's commands read every
# host file.
MANAGED = ["status", "check", "updates", "catalog", "types", "recommend", "antivirus"]
SWEEP_READERS = {
    "KaData/KaSoftwareVerIdentify.xml": ["status", "check", "why", "updates", "recommend"],
    "KaData/KaAntivirusIdentify.xml": ["antivirus"],
    "KaData/KaRecommendSoft.xml": ["recommend"],
    "KaData/SoftType/desktop.xml": ["status", "types"],
    "KaData/SoftType/media/media.xml": ["status", "types"],
    "host/catalog.xml": MANAGED,
    "host/regkeys.xml": MANAGED,
    "host/ignorelist.xml": MANAGED,
}
SWEEP_RUN_LIMIT_MS = 20000


def broken_shapes(data, rng):
    """(name, bytes) for each way a file is broken: cut, empty, a declaration
    alone, a wrong root, UTF-16, a bare "&", deep nesting, bytes that are not
    UTF-8, text after the root, a document type, a refused result."""
    text = data.decode("utf-8")
    # The root: the first element outside comments and declarations.
    masked = re.sub(r"<!--.*?-->|<\?.*?\?>", lambda m: " " * len(m.group()), text, flags=re.S)
    root = re.search(r"<([A-Za-z_][\w.-]*)", masked)
    start, name = root.start(), root.group(1)
    opened = text.index(">", start) + 1
    shapes = []
    # Cut: inside the first text after the root, then at seeded places.
    inside = re.search(r">[^<\s]{3}", text[opened:])
    cuts = ([len(text[:opened + inside.start() + 3].encode("utf-8"))] if inside else []) + \
        sorted(rng.sample(range(1, len(data) - 1), 3))
    shapes += [(f"cut at {at}", data[:at]) for at in cuts]
    shapes += [("empty", b""), ("declaration only", b'<?xml version="1.0" encoding="utf-8"?>\n')]
    wrong = text[:start] + "<wrongroot" + text[start + 1 + len(name):]
    wrong = wrong[:wrong.rindex("</" + name)] + "</wrongroot" + \
        wrong[wrong.rindex("</" + name) + 2 + len(name):]
    shapes.append(("wrong root", wrong.encode("utf-8")))
    shapes.append(("UTF-16", text.replace('encoding="utf-8"', 'encoding="utf-16"')
                   .encode("utf-16")))
    amp = text.index('="', opened) + 2 if '="' in text[opened:] else opened
    shapes.append(("bare &", (text[:amp] + "& " + text[amp:]).encode("utf-8")))
    shapes.append(("deep nesting", (text[:opened] + "<deep>" * 5000 + "</deep>" * 5000 +
                                    text[opened:]).encode("utf-8")))
    # Where the two readers part: bytes that are not UTF-8 (the streaming
    # reader takes them), text after the root, a document type.
    at = len(text[:opened].encode("utf-8"))
    shapes.append(("invalid UTF-8", data[:at] + b"\xff" + data[at:]))
    shapes.append(("text after the root", data + b"junk"))
    shapes.append(("document type", (text[:start] + "<!DOCTYPE " + name + ">" + text[start:])
                   .encode("utf-8")))
    if re.search(r'<vedad result="0"', text):
        shapes.append(("result 1", text.replace('<vedad result="0"', '<vedad result="1"', 1)
                       .encode("utf-8")))
    return shapes


def run_batch(lines, path, limit_s):
    """The batch's answers, one per line of arguments it reached."""
    with open(path, "w", encoding="utf-8") as f:
        f.write("".join(json.dumps(line) + "\n" for line in lines))
    windows = "C:\\tessary\\" + os.path.relpath(path, folder).replace("/", "\\")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            subprocess.run(["wine", "C:\\tessary\\tessary.exe", "--batch", windows], env=env,
                           stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=limit_s)
        except subprocess.TimeoutExpired:
            subprocess.run(["wineserver", "-k"], **quiet)
            subprocess.run(["wineserver", "-p"], **quiet)
            subprocess.run(["wine", "cmd", "/c", "exit"], **quiet)
        out.seek(0)
        return [json.loads(line) for line in out.read().decode("utf-8").splitlines() if line]


def sweep():
    import random
    import time
    rng = random.Random(26)
    place = os.path.join(folder, "sweep")
    shutil.rmtree(place, ignore_errors=True)
    intact = os.path.join(place, "intact")
    for data in ("KaData", "host"):
        shutil.copytree(os.path.join(root, "data", data), os.path.join(intact, data))
    shutil.copy(dll, intact)
    runs, started, slowest = 0, time.time(), (0, None)
    outcomes = {"refused": 0, "same answer": 0}
    answers = {}
    for number, (file, readers) in enumerate(SWEEP_READERS.items()):
        with open(os.path.join(root, "data", *file.split("/")), "rb") as f:
            shapes = broken_shapes(f.read(), rng)
        lines, cases = [], []
        intact_windows = "C:\\tessary\\sweep\\intact"

        def run(dll_folder, data_folder, command):
            return ["--json", "--exit-code", "--dll", dll_folder + "\\Tessary.dll",
                    "--data", data_folder + "\\host", *SWEEP_COMMANDS[command]]
        for command in readers:
            lines.append(run(intact_windows, intact_windows, command))
            cases.append((None, command, None))
        for index, (shape, content) in enumerate(shapes):
            # A copy of the intact data (and of the DLL, for its KaData) with
            # this one file broken.
            variant = os.path.join(place, f"{number}-{index}")
            kadata = file.startswith("KaData/")
            target = os.path.join(variant, *file.split("/"))
            shutil.copytree(os.path.join(intact, file.split("/")[0]),
                            os.path.join(variant, file.split("/")[0]))
            if kadata:
                shutil.copy(dll, variant)
            with open(target, "wb") as f:
                f.write(content)
            windows = f"C:\\tessary\\sweep\\{number}-{index}"
            for command in readers:
                lines.append(run(windows if kadata else intact_windows,
                                 intact_windows if kadata else windows, command))
                cases.append((shape, command, windows + "\\" + file.replace("/", "\\")))
        got = run_batch(lines, os.path.join(place, f"batch-{number}.txt"),
                        30 + SWEEP_RUN_LIMIT_MS / 1000 * len(lines) / 4)
        runs += len(got)
        if len(got) < len(lines):
            check(False, f"sweep {file}: the batch stopped at {cases[len(got)][:2]}: "
                         f"{len(got)} of {len(lines)} runs answered")
        baseline = {}
        for (shape, command, path), line, answer in zip(cases, lines, got):
            what = f"sweep {file} {shape or 'intact'}: {command}"
            if answer["ms"] > slowest[0]:
                slowest = (answer["ms"], what)
            check(answer["ms"] < SWEEP_RUN_LIMIT_MS, f"{what}: {answer['ms']} ms")
            if shape is None:
                check(answer["exit"] in (0, 3) and answer["err"] == "",
                      f"{what}: exit {answer['exit']} {answer['err']!r}")
                baseline[command] = answer
                continue
            answers[(file, shape, command)] = (line, answer)
            outcomes["refused" if answer["exit"] == 2 else "same answer"] += 1
            if answer["exit"] == 2:
                check(answer["out"] == "" and answer["err"].count("\n") == 1
                      and answer["err"].startswith("tessary: ") and path in answer["err"],
                      f"{what}: exit 2 without one line naming {path}: {answer['err']!r}")
                # A parser's depth limit is said as such, not as a typo.
                check(("deeper than the XML parser reads" in answer["err"])
                      == (shape == "deep nesting"), f"{what}: the reason: {answer['err']!r}")
            else:
                check(answer["exit"] == baseline[command]["exit"] and answer["err"] == ""
                      and json.loads(answer["out"] or "null")
                      == json.loads(baseline[command]["out"]),
                      f"{what}: exit {answer['exit']}, an answer other than the intact data's: "
                      f"{answer['err']!r} {answer['out'][:300]!r}")
    # A few runs again, each a process of its own: the batch answers as they do.
    for key in rng.sample(sorted(answers), 3):
        line, answer = answers[key]
        code, out, err = tessary(*line)
        check((code, out, err) == (answer["exit"], answer["out"], answer["err"]),
              f"sweep {key}: a process of its own answers {code} {err!r}, the batch "
              f"{answer['exit']} {answer['err']!r}")
    print(f"sweep: {runs} runs in {len(SWEEP_READERS)} processes, {time.time() - started:.0f} s, "
          f"slowest {slowest[0]} ms ({slowest[1]}); broken files refused {outcomes['refused']} "
          f"times, still valid and answered alike {outcomes['same answer']} times")
    shutil.rmtree(place, ignore_errors=True)


sweep()
# --- validate: the edges of a value, and every shipped data file cut ------------------
# Kept apart from the sweep of the other commands: a section of its own.
def validate_runs(names, limit):
    """`validate --json` on the files `names` (paths below C:\\tessary) in one run of at
    most `limit` seconds: (exit code, the document, seconds taken); None for a run past it."""
    started = time.monotonic()
    try:
        code, out, err = wine("C:\\tessary\\tessary.exe", "--json", "validate",
                              *["C:\\tessary\\" + n.replace("/", "\\") for n in names],
                              timeout=limit)
    except subprocess.TimeoutExpired:
        return None
    got = json.loads(out) if out.strip() else {}
    for problem in validators["validate"].iter_errors(got):
        check(False, f"validate {names[:2]}...: {problem.json_path}: {problem.message}")
    return code, got, time.monotonic() - started


def problems_by_file(got):
    found = {}
    for problem in got.get("problems", []):
        found.setdefault(problem["file"].lower(), []).append(problem)
    return found


def check_validate_edges():
    """Policies 0 and 5 are the first and last a rule takes; 6 the first it refuses."""
    edges = os.path.join(folder, "edges")
    os.makedirs(edges, exist_ok=True)
    names = []
    for policy in ("0", "5", "6"):
        names.append(f"edges/policy-{policy}.xml")
        with open(os.path.join(folder, *names[-1].split("/")), "w") as f:
            f.write(f'<vedad><soft name="a"><regkey displayname="A" policy="{policy}" '
                    f'ver_filepath="a.exe">A</regkey><start_menu path="A" policy="{policy}" '
                    f'ver_filepath="a.exe"/></soft></vedad>')
    run = validate_runs(names, 120)
    check(run is not None, "validate on the policy edges: past its time limit")
    if run is None:
        return
    code, got, _ = run
    found = problems_by_file(got)
    check(code == 2, f"validate on the policy edges: exit {code}")
    for name in names:
        messages = [(p["severity"], p["element"], p["message"])
                    for p in found.get(("c:\\tessary\\" + name.replace("/", "\\")).lower(), [])]
        want = [] if not name.endswith("-6.xml") else [
            ("error", "/vedad/soft[1]/regkey[1]", 'policy="6" is not a version policy (0 to 5)'),
            ("error", "/vedad/soft[1]/start_menu[1]",
             'policy="6" is not a version policy (0 to 5)')]
        check(messages == want, f"validate {name}: {messages}")


def check_validate_cuts(step=64, limit=120):
    """Every shipped data file cut at every `step`th byte (and the rules inside a text,
    where the streaming reader once spun for ever), one validate run per file with all
    its cuts: each run ends within `limit` seconds; each cut is one error naming it, or,
    where the cut is still a whole document, what the intact file gives (nothing)."""
    import xml.dom.minidom
    cuts = os.path.join(folder, "cuts")
    shutil.rmtree(cuts, ignore_errors=True)
    shipped_files = []
    for data in ("KaData", "host"):
        for base, _, names in os.walk(os.path.join(root, "data", data)):
            shipped_files += [os.path.relpath(os.path.join(base, n), os.path.join(root, "data"))
                              for n in sorted(names) if n.endswith(".xml")]
    batches = []
    for relative in sorted(shipped_files):
        with open(os.path.join(root, "data", relative), "rb") as f:
            whole = f.read()
        lengths = list(range(0, len(whole), step))
        if relative.endswith("KaSoftwareVerIdentify.xml"):
            lengths.append(whole.index(b'policy="0">Brightfiel') + len(b'policy="0">Brightfiel'))
        names = []
        for length in lengths:
            names.append(f"cuts/{length}/" + relative.replace(os.sep, "/"))
            path = os.path.join(folder, *names[-1].split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(whole[:length])
        batches.append((relative, whole, lengths, names))
    # Two runs at a time: each run starts the tool and a child or two of it.
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda batch: validate_runs(batch[3], limit), batches))
    elapsed = time.monotonic() - started
    slowest, runs = 0.0, 0
    for (relative, whole, lengths, names), run in zip(batches, results):
        check(run is not None, f"validate on {len(names)} cuts of {relative}: past {limit} s")
        if run is None:
            continue
        code, got, seconds = run
        slowest, runs = max(slowest, seconds), runs + 1
        found = problems_by_file(got)
        check(len(got.get("files", [])) == len(names) and
              set(found) <= {("c:\\tessary\\" + n.replace("/", "\\")).lower() for n in names},
              f"validate on the cuts of {relative}: {got.get('files')}")
        whole_cuts = 0
        for name, length in zip(names, lengths):
            cut = whole[:length]
            try:
                xml.dom.minidom.parseString(cut)
                still_whole = True
            except Exception:
                still_whole = False
            whole_cuts += still_whole
            problems = found.get(("c:\\tessary\\" + name.replace("/", "\\")).lower(), [])
            if still_whole:
                check(not problems, f"validate {name}: a whole document: {problems}")
                continue
            ok = (len(problems) == 1 and problems[0]["severity"] == "error" and
                  problems[0]["message"].startswith("not well-formed XML"))
            # Where a position is given, it is inside the cut.
            if ok and problems[0]["line"] is not None:
                lines = cut.decode("utf-8", "replace").split("\n")
                line, column = problems[0]["line"], problems[0]["column"]
                ok = 1 <= line <= len(lines) and 1 <= column <= len(lines[line - 1]) + 1
            check(ok, f"validate {name}: {problems}")
        check(code == (0 if whole_cuts == len(names) else 2),
              f"validate on the cuts of {relative}: exit {code}")
        if relative.endswith("KaSoftwareVerIdentify.xml"):
            # Cut inside a text: the streaming reader stops at the end.
            inside = found.get(("c:\\tessary\\" + names[-1].replace("/", "\\")).lower(), [{}])
            tail = whole[:lengths[-1]].decode("utf-8").split("\n")
            stop = (inside[0].get("line"), inside[0].get("column"))
            check(stop == (len(tail), len(tail[-1]) + 1), f"validate {names[-1]}: stops at {stop}")
    print(f"validate on every {step}th-byte cut of {len(shipped_files)} data files: {runs} runs "
          f"in {elapsed:.1f} s, the slowest {slowest:.1f} s")


check_validate_edges()
check_validate_cuts()

# --- Through the registration, and from a script host ------------------------------------
check(len(by(document("--registered", "list")["programs"], "key")) == len(programs),
      "--registered list")
with open(os.path.join(folder, "walk.js"), "w") as f:
    f.write('var n = 0, s = "";\n'
            'var e = new Enumerator(new ActiveXObject("Tessary.KaInstalledSoft"));\n'
            'for (; !e.atEnd(); e.moveNext()) {\n'
            '  var p = e.item(); n++;\n'
            '  if (p.KeyName == "Brightfield Browser") s = p.DisplayVersion + " " + p.Source;\n'
            '}\n'
            'WScript.Echo(n + " programs; Brightfield Browser " + s);\n')
cscript = "C:\\windows\\%s\\cscript.exe" % ("syswow64" if arch == "x86" else "system32")
code, out, err = wine(cscript, "//nologo", "C:\\tessary\\walk.js")
check(f"{len(programs)} programs; Brightfield Browser 24.1.0 1" in out,
      f"cscript walk: {code} {out!r} {err!r}")

# --- Long values and the record cap -------------------------------------------------
uninstall = '"C:\\Program Files\\Driftwood Sync\\uninstall.exe" /remove'
while len(uninstall) < 651:
    uninstall += f" /keep:{len(uninstall)}"
uninstall = uninstall[:651]
# A display name of 5,000 characters, the rule naming it whole too.
long_name = "Driftwood Sync"
while len(long_name) < 5000:
    long_name += f" edition {len(long_name)}"
long_name = long_name[:5000]
long_version = ".".join(str(n) for n in range(1, 200))[:300]
check(reg_import([f"[HKEY_CURRENT_USER\\{UNINSTALL}\\DriftwoodSync]",
                  f'"DisplayName"={reg_text(long_name)}', f'"DisplayVersion"="{long_version}"',
                  f'"UninstallString"={reg_text(uninstall)}'], 64) == 0, "reg import")
rules_path = os.path.join(folder, "KaData", rules)
with open(rules_path, "wb") as f:
    f.write(whole.replace(b"</vedad>", b'<soft name="Driftwood Sync"><regkey displayname="' +
                          long_name.encode() + b'" policy="0">DriftwoodSync</regkey></soft></vedad>'))
listed = document("list", "driftwood")
check(listed["programCount"] == 1 and listed["programs"][0]["uninstallString"] == uninstall
      and listed["programs"][0]["displayName"] == long_name
      and listed["capReached"] is False, "list: a 651-character uninstall command whole")
# The rule's name is reported whole; the version and uninstall command are the
# component's cut copies, and marked so.
driftwood = document("status", "Driftwood Sync")["programs"][0]
check(driftwood["uninstallString"] == uninstall[:258] and driftwood["installedName"] == long_name
      and driftwood["installedVersion"] == long_version[:253]
      and driftwood["cutFields"] == ["installedVersion", "uninstallString"],
      f"status: cut marked {str(driftwood)[-400:]}")
code, out, err = tessary("status", "Driftwood Sync")
check(uninstall[:258] + " (cut)" in out and long_version[:253] + " (cut)" in out
      and long_name + "\n" in out, "status: the table marks the cut")
why = document("why", "Driftwood Sync")
records = [s for step in why["steps"] for s in step.get("steps", []) if s["step"] == "record"]
check(records and records[0]["cutFields"] == ["displayVersion", "uninstallString"]
      and why["cutFields"] == ["installedVersion"] and why["installedName"] == long_name,
      f"why: the cuts marked: {why['cutFields']} {records and records[0]['cutFields']}")

FILLERS = [f"0Filler{i:04d}" for i in range(1030)]  # read before the sample programs
check(reg_import([f"[HKEY_LOCAL_MACHINE\\{UNINSTALL}\\{k}]\n\"DisplayName\"=\"{k}\"\n"
                  for k in FILLERS], 64) == 0, "reg import of the fillers")
# Every command whose answer depends on the installed programs says the list
# was capped: one line on standard error and capReached in its document.
capped, err = document("list", with_error=True)
CAP_LINE = (f"tessary: the registry holds {capped.get('entryCount')} Uninstall entries; the "
            "component keeps the first 1,023 and answers as if the others were not installed\n")
check(capped.get("capReached") is True and capped.get("entryCount", 0) >= 1030
      and capped.get("programCount") == 1023 and err == CAP_LINE, f"list at the cap: {err!r}")
for args in (["status", "Brightfield Browser"], ["check", "Brightfield Browser", "24.1.0"],
             ["updates"], ["recommend"], ["why", "Brightfield Browser"], ["antivirus"]):
    answer, err = document(*args, with_error=True)
    check(answer.get("capReached") is True and err == CAP_LINE,
          f"{args[0]} at the cap: capReached {answer.get('capReached')}, stderr {err!r}")
    code, out, err = tessary(*args)
    check(code == 0 and err == CAP_LINE, f"{args[0]} table at the cap: {code} {err!r}")
# A name no rule knows is looked for among the entries the component keeps only.
code, out, err = tessary("status", "Nothing Known")
check("no installed program the component keeps (the first 1,023) has it" in out,
      f"status at the cap: the entries looked at: {out!r}")
# why's reason agrees with its decisions: the key was left out, not missing.
why = document("why", "Brightfield Browser")
decisions = [s.get("text", "") for step in why["steps"] for s in step.get("steps", [])
             if s["step"] == "decision"]
check(any(t.startswith("past the component's 1,023-entry cap") for t in decisions)
      and why["status"] == "notInstalled"
      and "Brightfield Browser: past the component's 1,023-entry cap" in (why["reason"] or ""),
      f"why: a key left out at the cap, in its decision and its reason: {why['reason']!r} "
      f"{decisions}")
remove_added()

# Nothing registered: the error says how to register.
check(wine("regsvr32", "/u", "/s", "C:\\tessary\\Tessary.dll")[0] == 0, "regsvr32 /u")
error(["--registered", "list"], 1, "REGDB_E_CLASSNOTREG; nothing of Tessary is registered",
      "regsvr32 Tessary.dll")
error(["--registered", "--version"], 2, "regsvr32 Tessary.dll")
check(wine("regsvr32", "/s", "C:\\tessary\\Tessary.dll")[0] == 0, "regsvr32 again")

# Every schema field seen with a value somewhere above.
unseen = sorted(f"{command}.json {pointer}" for (command, pointer), seen in field_values.items()
                if not seen)
check(not unseen, f"schema fields never seen with a value: {unseen}")

subprocess.run(["wineserver", "-k"], **quiet)
print("tool test:", "FAILED" if failures else "passed")
sys.exit(1 if failures else 0)
