#!/usr/bin/env python3
"""Checks that every name the design documents quote exists in the tree.

Every `backticked` span in docs/*.md (outside fenced code blocks and HTML
comments) must be one of:
  - a path (contains '/' or ends in a file extension): the file or folder
    exists, relative to the repository root;
  - a string starting with '/': it occurs literally in the sources;
  - a test, Suite.Name: a TEST, TEST_F or TEST_P with that suite and name;
  - a code name, possibly qualified (a::b, a.b, a->b) and possibly followed
    by an argument list: every part is an identifier of the sources;
  - a family, prefix*: some identifier of the sources starts with prefix.
Anything else is reported as unrecognised. Exit status 1 on any miss.

Usage: tools/check_design_names.py [document ...]   (default: docs/*.md)
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIRS = ["afs", "efs", "fcs", "errors", "api", "common", "include", "tests", "fuzz", "bench",
               "examples", "tools", "cmake"]
SOURCE_FILES = ["CMakeLists.txt", "CMakePresets.json"]
SOURCE_EXTENSIONS = {".h", ".cpp", ".txt", ".json", ".sh", ".py", ".in", ".map", ".syms"}
PATH_EXTENSIONS = {".h", ".cpp", ".md", ".sh", ".py", ".txt", ".json", ".map", ".syms", ".in"}
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def read_sources():
    texts = []
    paths = [os.path.join(ROOT, f) for f in SOURCE_FILES]
    for d in SOURCE_DIRS:
        for folder, _, files in os.walk(os.path.join(ROOT, d)):
            paths += [os.path.join(folder, f) for f in files if os.path.splitext(f)[1] in SOURCE_EXTENSIONS]
    for path in paths:
        if os.path.basename(path) == os.path.basename(__file__):
            continue  # this checker names nothing of the library
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                texts.append(f.read())
        except OSError:
            pass
    return "\n".join(texts)


def spans(text):
    """(line number, span) of every backticked span outside code blocks and comments."""
    text = re.sub(r"<!--.*?-->", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    out = []
    fenced = False
    for number, line in enumerate(text.split("\n"), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            continue
        out += [(number, s) for s in re.findall(r"`([^`]+)`", line)]
    return out


def check(span, sources, words):
    """None when the span names something that exists, else the reason."""
    name = span.strip()
    if name.startswith("/"):
        return None if name in sources else "string not found in the sources"
    if "/" in name or os.path.splitext(name)[1] in PATH_EXTENSIONS:
        return None if os.path.exists(os.path.join(ROOT, name)) else "no such file or folder"
    if name.endswith("*") and IDENTIFIER.fullmatch(name[:-1]):
        prefix = name[:-1]
        return None if any(w.startswith(prefix) and w != prefix for w in words) else "no name with this prefix"
    name = re.sub(r"\(.*\)$", "", name)  # a call: the function's name
    test = re.fullmatch(r"([A-Z][A-Za-z0-9_]*)\.([A-Z][A-Za-z0-9_]*)", name)
    if test:
        suite, case = test.groups()
        pattern = r"\bTEST(?:_F|_P)?\(\s*%s\s*,\s*%s\s*\)" % (suite, case)
        if re.search(pattern, sources):
            return None
        if re.search(r"\bTEST(?:_F|_P)?\(\s*%s\s*," % suite, sources):
            return "test suite has no such test"
    parts = re.split(r"::|->|\.", name)
    for part in parts:
        if not IDENTIFIER.fullmatch(part):
            return "unrecognised span"
        if part not in words:
            return "name '%s' not found in the sources" % part
    return None


def main(argv):
    documents = argv[1:] or sorted(
        os.path.join(ROOT, "docs", f) for f in os.listdir(os.path.join(ROOT, "docs")) if f.endswith(".md"))
    sources = read_sources()
    words = set(IDENTIFIER.findall(sources))
    checked = 0
    misses = []
    for document in documents:
        with open(document, encoding="utf-8") as f:
            for number, span in spans(f.read()):
                checked += 1
                reason = check(span, sources, words)
                if reason:
                    misses.append("%s:%d: `%s`: %s" % (os.path.relpath(document, ROOT), number, span, reason))
    for miss in misses:
        print(miss)
    print("%d names checked in %d documents, %d missing" % (checked, len(documents), len(misses)))
    return 1 if misses else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
