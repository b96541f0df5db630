"""Lays out one target interpreter's C headers for a cross build, with its own pyconfig.h
in place (Debian keeps it in a per-processor folder; a plain copy of the headers would
pick up the host's).

    target_headers.py OUT INCLUDE PYCONFIG [--like HOST_PYCONFIG TARGET_PYCONFIG]

copies the headers of INCLUDE into OUT with PYCONFIG as pyconfig.h. With --like, the
target is an interpreter nobody ships for that processor: PYCONFIG is the host's, and
every setting in which a reference pair of another version differs between the host's
processor and the target's is taken from the reference target.
"""

import argparse
import os
import re
import shutil
import tempfile

SETTING = re.compile(r"^(?:#define\s+(\w+)\b.*|/\*\s*#undef\s+(\w+)\s*\*/)$")


def settings(text):
    """Name -> line, for each #define and each commented-out #undef."""
    found = {}
    for line in text.splitlines():
        m = SETTING.match(line.strip())
        if m:
            found[m.group(1) or m.group(2)] = line
    return found


def adapted(pyconfig, host_reference, target_reference):
    """pyconfig with the processor-dependent settings of the reference pair carried over."""
    host, target = settings(host_reference), settings(target_reference)
    differ = {name: target[name] for name in host.keys() & target.keys() if host[name] != target[name]}
    lines = []
    for line in pyconfig.splitlines():
        m = SETTING.match(line.strip())
        name = m and (m.group(1) or m.group(2))
        lines.append(differ.pop(name) if name in differ else line)
    # Settings the older version lacks stay absent: they name features it doesn't have.
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("include")
    parser.add_argument("pyconfig")
    parser.add_argument("--like", nargs=2, metavar=("HOST_PYCONFIG", "TARGET_PYCONFIG"))
    args = parser.parse_args()
    with open(args.pyconfig) as f:
        pyconfig = f.read()
    if args.like:
        with open(args.like[0]) as host, open(args.like[1]) as target:
            pyconfig = adapted(pyconfig, host.read(), target.read())
    # Built beside OUT and renamed, so a half-written folder is never used.
    parent = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(parent, exist_ok=True)
    tmp = tempfile.mkdtemp(dir=parent)
    shutil.copytree(args.include, tmp, dirs_exist_ok=True)
    with open(os.path.join(tmp, "pyconfig.h"), "w") as f:
        f.write(pyconfig)
    shutil.rmtree(args.out, ignore_errors=True)
    os.rename(tmp, args.out)


if __name__ == "__main__":
    main()
