"""The gate every wheel passes on its way into dist/:

    gate_wheel.py WHEEL DIST

checks the extension module inside WHEEL for what auditwheel does not, then has auditwheel
repair it into DIST (replacing any earlier wheel of the same tags), which must rate it
manylinux2014 (glibc 2.17): auditwheel rates it by the glibc symbol versions it needs
and bundles any library beyond the policy's.
It fails, naming what is wrong, when the module
- takes exp from anywhere but libm (the results depend on glibc's exp to the last bit);
- exports anything but its entry points and introspection records;
- needs a library that auditwheel would bundle (anything beyond glibc's);
and when the wheel lacks the LICENSE.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

import lief

EXPORTED = re.compile(r"PyInit_spinlattice|PyModExport_spinlattice|SPINLATTICE_INTROSPECTION_\d+")


def module_faults(data):
    """What is wrong with one extension module's bytes, as lines; none when sound."""
    elf = lief.ELF.parse(data)
    # A symbol's version index -> (library, version name), from what the module requires.
    required = {aux.other: (need.name, aux.name) for need in elf.symbols_version_requirement
                for aux in need.get_auxiliary_symbols()}
    symbols = {s.name: s for s in elf.dynamic_symbols if s.name}
    exp = symbols.get("exp")
    if exp is None or not exp.imported:
        where = "not referenced" if exp is None else "defined inside the module"
    else:
        library, version = required.get(exp.symbol_version.value if exp.has_version else 0, (None, None))
        where = None if library == "libm.so.6" and version.startswith("GLIBC_") else f"taken from {library} {version}"
    faults = [f"exp must be glibc's, imported from libm.so.6; it is {where}"] if where else []
    faults += [f"exports {name}" for name, s in sorted(symbols.items()) if s.exported and not EXPORTED.fullmatch(name)]
    return faults


def wheel_faults(path):
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        modules = [n for n in names if re.fullmatch(r"spinlattice\.[^/]*\.so", n)]
        faults = [] if len(modules) == 1 else [f"holds {len(modules)} extension modules, not one"]
        for name in modules:
            faults += [f"{name}: {fault}" for fault in module_faults(wheel.read(name))]
    if not any(re.fullmatch(r"[^/]+\.dist-info/licenses/LICENSE", n) for n in names):
        faults.append("has no LICENSE in its .dist-info")
    return faults


def repair(path, dist):
    """auditwheel's verdict and retagging into dist, in place of earlier wheels of the same tags."""
    processor = re.search(r"linux_(\w+)\.whl$", path).group(1)
    with tempfile.TemporaryDirectory() as out:
        # auditwheel names other processors' policies only as "auto": the best it finds.
        run = subprocess.run([sys.executable, "-m", "auditwheel", "repair", "--plat", "auto", "-w", out, path],
                             capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit(f"auditwheel refuses {path}:\n{run.stdout}{run.stderr}")
        (made,) = os.listdir(out)
        if f"manylinux_2_17_{processor}" not in made:
            sys.exit(f"auditwheel rates {path} {made}, not manylinux_2_17_{processor}")
        # auditwheel bundles a library beyond the policy's rather than refusing it; the module needs glibc alone.
        with zipfile.ZipFile(os.path.join(out, made)) as repaired:
            bundled = sorted(n for n in repaired.namelist() if ".libs/" in n)
        if bundled:
            sys.exit(f"{path} needs libraries beyond glibc's, which auditwheel bundled: {', '.join(bundled)}")
        python, abi = os.path.basename(path).split("-")[2:4]
        os.makedirs(dist, exist_ok=True)
        for old in glob.glob(os.path.join(dist, f"spinlattice-*-{python}-{abi}-*_{processor}.whl")):
            os.remove(old)
        shutil.move(os.path.join(out, made), os.path.join(dist, made))
    return os.path.join(dist, made)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel")
    parser.add_argument("dist")
    args = parser.parse_args()
    faults = wheel_faults(args.wheel)
    if faults:
        sys.exit(f"{args.wheel} is refused:\n  " + "\n  ".join(faults))
    print(f"== {repair(args.wheel, args.dist)}")


if __name__ == "__main__":
    main()
