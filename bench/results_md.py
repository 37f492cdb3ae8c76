"""bench/results.md is one file of sections, each written by its group's script."""
import os
import re
import sys


def write_section(results, title, section):
    """Puts section in place of the "## title" one in results (or at its end), and prints it."""
    text = open(results).read() if os.path.exists(results) else ""
    match = re.search(r"^## %s\n.*?(?=^## |\Z)" % re.escape(title), text, flags=re.S | re.M)
    if match:
        text = (text[:match.start()] + section + ("\n" if match.end() < len(text) else "") +
                text[match.end():])
    else:
        text = text.rstrip("\n") + ("\n\n" if text else "") + section
    open(results, "w").write(text)
    sys.stdout.write(section)
