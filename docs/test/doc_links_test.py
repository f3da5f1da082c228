#!/usr/bin/env python3
"""Checks the relative links of README.md and docs/*.md: every linked file
exists, and every #anchor names a heading of the linked document (as GitHub
spells heading anchors). Sections move between documents; a link left
pointing at the old place is found here.
Usage: doc_links_test.py SOURCE_DIR"""
import pathlib
import re
import sys


def heading_anchors(document):
    anchors, in_code = set(), False
    for line in document.read_text().splitlines():
        if line.startswith("```"):
            in_code = not in_code
        elif not in_code and line.startswith("#"):
            title = re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower())
            anchors.add(title.replace(" ", "-"))
    return anchors


def broken_links(document):
    for target in re.findall(r"\]\(([^)\s]+)\)", document.read_text()):
        if re.match(r"[a-z]+:", target):  # http:, https:, mailto:
            continue
        path, _, anchor = target.partition("#")
        linked = (document.parent / path) if path else document
        if not linked.exists():
            yield f"{target}: no such file"
        elif anchor and linked.suffix == ".md" and anchor not in heading_anchors(linked):
            yield f"{target}: no such heading"


source = pathlib.Path(sys.argv[1])
failures = [f"{document.relative_to(source)}: {problem}"
            for document in [source / "README.md", *sorted((source / "docs").glob("*.md"))]
            for problem in broken_links(document)]
print("\n".join(failures) or "every link of the documentation leads somewhere")
sys.exit(1 if failures else 0)
