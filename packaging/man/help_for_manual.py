#!/usr/bin/env python3
"""Runs a program for help2man: `help_for_manual.py PROGRAM --help|--version`.

--version is passed through. --help output is passed through except for the
option tables that boost::program_options prints, which are rewritten into
the layout help2man recognises: one line per option, its names and its
description separated by two spaces, the description's wrapped lines joined.
(boost pads the names to a column shared by the table, which can leave a
single space, and wraps descriptions at 80 characters.)
"""
import re
import subprocess
import sys

OPTION = re.compile(r"^  -")


def description_column(table):
    """The column boost's wrapped description lines start at, if any."""
    indents = [len(line) - len(line.lstrip(" ")) for line in table if line.strip() and not OPTION.match(line)]
    return max(set(indents), key=indents.count) if indents else None


def rewrite_table(table):
    column = description_column(table)
    options = []  # [names, description]
    for line in table:
        if OPTION.match(line):
            if column is not None and len(line) > column and line[column - 1] == " ":
                names, text = line[:column].rstrip(), line[column:]
            else:
                parts = re.split(r"\s{2,}", line.strip(), maxsplit=1)
                names, text = "  " + parts[0], parts[1] if len(parts) > 1 else ""
            options.append([names.rstrip(), text])
        elif options:
            previous = options[-1]
            separator = "" if previous[1].endswith(" ") or not previous[1] else " "
            previous[1] += separator + line.strip()
    return [f"{names}  {text.strip()}" if text else names for names, text in options]


def main():
    program, argument = sys.argv[1], sys.argv[2]
    result = subprocess.run([program, argument], capture_output=True, text=True)
    if argument != "--help":
        sys.stdout.write(result.stdout)
        sys.stderr.write(result.stderr)
        return result.returncode
    lines = result.stdout.splitlines()
    output, table = [], []
    for line in lines:
        # A table is its option lines and their continuations.
        if OPTION.match(line) or (table and line.startswith("   ")):
            table.append(line)
            continue
        if table:
            output.extend(rewrite_table(table))
            table = []
        output.append(line)
    output.extend(rewrite_table(table))
    sys.stdout.write("\n".join(output) + "\n")
    sys.stderr.write(result.stderr)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
