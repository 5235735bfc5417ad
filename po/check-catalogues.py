#!/usr/bin/env python3
"""Finds every text for people in the program's sources and checks that each catalogue has it.

Every string literal of the programs (not of tests, benchmarks or fuzz targets) is extracted.
A literal holding Chinese must have an entry in the English catalogue; any other literal holding
words must have one in the Chinese catalogue, unless it is listed in not-for-people.txt (object
names, keys, flags, file names and other texts for programs). A literal counts as present when
it equals an entry (printf and Qt placeholders both standing for a hole), or when it is a piece
of an entry that a text is built from: it sits next to a hole of the entry ("读取位置" in
"读取位置%1错误"), or follows a hole and a colon (a damage reason after its file type, "%1: header
damaged").

Usage: check-catalogues.py SOURCE_DIR   (exit status 1 and a list when something is missing)
"""
import os
import re
import sys

SOURCE_FOLDERS = ["platform", "core", "readers", "journal", "invalid_files", "extension", "rename",
                  "dbrepair", "disk", "raid", "shell", "app", "cli"]
HOLE = "\x01"
CJK = re.compile(r"[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]")
PLACEHOLDER = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?(?:ll|l|z|h|L|I64)?[sdiuxXcfgeE]|%\d|\{\}")
# Literals that are plainly for programs: no letters, one lower-case token (flags, keys, file
# names, sysfs attributes), one upper-case token (metavariables, code page names), a path, or a
# MIME type.
FOR_PROGRAMS = [re.compile(p) for p in (r"^[^A-Za-z]*$", r"^[a-z0-9_.#:/|=-]+$", r"^[A-Z0-9_.#|\[\]-]+$",
                                        r"^[./][^ ]*$", r"^[a-z]+/[a-z0-9.+-]+$")]
LITERAL = re.compile(r'(?:u8|u|U|L)?R"([^(\s]*)\((.*?)\)\1"'
                     r'|(?:u8|u|U|L)?"((?:[^"\\\n]|\\.)*)"'
                     r"|'(?:[^'\\\n]|\\.)*'"
                     r"|//[^\n]*|/\*.*?\*/", re.S)
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "?": "?", "a": "\a", "b": "\b",
           "f": "\f", "v": "\v"}


def unescape(body):
    def one(match):
        code = match.group(1)
        if code[0] in "xuU":
            return chr(int(code[1:], 16))
        if code[0] in "01234567":
            return chr(int(code, 8))
        return ESCAPES.get(code, code)
    return re.sub(r"\\(x[0-9A-Fa-f]+|u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8}|[0-7]{1,3}|.)", one, body)


def literals_of(code):
    """The string literals of C++ code, adjacent ones joined; comments and characters left out."""
    found, last_end = [], None
    for match in LITERAL.finditer(code):
        token = match.group(0)
        if token.startswith(("//", "/*", "'")) or code[code.rfind("\n", 0, match.start()) + 1:match.start()].startswith("#include"):
            continue
        text = match.group(2) if match.group(2) is not None else unescape(match.group(3))
        if last_end is not None and code[last_end:match.start()].strip() == "":
            found[-1] += text
        else:
            found.append(text)
        last_end = match.end()
    return found


def source_literals(root):
    literals = []
    for folder in SOURCE_FOLDERS:
        for base, _, names in os.walk(os.path.join(root, folder)):
            for name in sorted(names):
                if name.endswith((".cpp", ".h")):
                    with open(os.path.join(base, name), encoding="utf-8", errors="surrogateescape") as source:
                        literals += literals_of(source.read())
    return literals


def po_string(quoted):
    return unescape(quoted.strip()[1:-1])


def read_po(path):
    """The msgids of a .po file that have a translation."""
    entries, msgid, msgstr, field = [], None, None, None
    with open(path, encoding="utf-8") as po:
        for line in list(po) + ["msgid \"\""]:
            line = line.strip()
            if line.startswith("msgid "):
                if msgid and msgstr:
                    entries.append(msgid)
                msgid, msgstr, field = po_string(line[6:]), None, "id"
            elif line.startswith("msgstr "):
                msgstr, field = po_string(line[7:]), "str"
            elif line.startswith('"') and field == "id":
                msgid += po_string(line)
            elif line.startswith('"') and field == "str":
                msgstr += po_string(line)
    return entries


def normalise(text):
    # A "%" that ends a literal is a format completed by a macro ("%" PRId64).
    return re.sub(r"(?<!%)%$", HOLE, PLACEHOLDER.sub(HOLE, text)).replace("%%", "%").strip()


def covered(literal, entries):
    if literal in entries:
        return True
    for entry in entries:
        start = entry.find(literal)
        while start >= 0:
            end = start + len(literal)
            before = entry[:start].rstrip().removesuffix(":").rstrip()[-1:]
            after = entry[end:].lstrip()[:1]
            if HOLE in (before, after, literal[:1], literal[-1:]):
                return True
            start = entry.find(literal, start + 1)
    return False


def main():
    root = sys.argv[1]
    here = os.path.join(root, "po")
    with open(os.path.join(here, "not-for-people.txt"), encoding="utf-8") as listed:
        not_for_people = {unescape(line.rstrip("\n")) for line in listed if line.strip() and not line.startswith("##")}
    english = {normalise(m) for m in read_po(os.path.join(here, "en.po"))}
    chinese = {normalise(m) for m in read_po(os.path.join(here, "zh_CN.po"))}
    missing = []
    for literal in sorted(set(source_literals(root))):
        text = normalise(literal)
        if not text:
            continue
        if CJK.search(text):
            if not covered(text, english):
                missing.append(("en", literal))
        elif literal not in not_for_people and not any(p.match(text) for p in FOR_PROGRAMS):
            if not covered(text, chinese):
                missing.append(("zh_CN", literal))
    for catalogue, literal in missing:
        print(f"{catalogue}.po has no entry for: {literal!r}")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
