"""pip's output as make shows it, each line as soon as pip writes it: the lines that only
confirm what is already installed are left out, and the one-line lists of the packages
installed are wrapped, so that a first set-up reads as a column of short lines."""

import sys
import textwrap

WIDTH = 120

for line in sys.stdin:
    line = line.rstrip("\n")
    if line.startswith("Requirement already satisfied"):
        continue
    if len(line) > WIDTH:
        indent = line[: len(line) - len(line.lstrip())] + "    "
        line = textwrap.fill(line, WIDTH, subsequent_indent=indent, break_long_words=False, break_on_hyphens=False)
    print(line, flush=True)
