"""The gate every wheel passes on its way into dist/:

    gate_wheel.py WHEEL DIST

checks the extension module inside WHEEL, then has auditwheel repair it to manylinux2014
(glibc 2.17) into DIST, replacing any earlier wheel of the same tags. It fails, naming
what is wrong, when the module
- needs a library other than glibc's libc, libm, libpthread, libdl and loader, or a symbol version
  newer than 2.17 (each such symbol is named);
- takes exp from anywhere but libm (the results depend on glibc's exp to the last bit);
- exports anything but its entry points and introspection records;
and when the wheel lacks the LICENSE.
"""

import argparse
import glob
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

from elftools.elf.elffile import ELFFile

OLDEST_GLIBC = (2, 17)
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
                    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
EXPORTED = re.compile(r"PyInit_spinlattice|PyModExport_spinlattice|SPINLATTICE_INTROSPECTION_\d+")


def imports_and_exports(elf):
    """(needed libraries, {undefined symbol: (library, version)}, defined global names)."""
    dynamic = elf.get_section_by_name(".dynamic")
    needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
    version_of = {}  # version index -> (library, version name)
    verneed = elf.get_section_by_name(".gnu.version_r")
    if verneed is not None:
        for entry, auxiliaries in verneed.iter_versions():
            for aux in auxiliaries:
                version_of[aux.entry.vna_other] = (entry.name, aux.name)
    versym = elf.get_section_by_name(".gnu.version")
    symbols = elf.get_section_by_name(".dynsym")
    imported, exported = {}, set()
    for i, sym in enumerate(symbols.iter_symbols()):
        if not sym.name:
            continue
        if sym["st_shndx"] == "SHN_UNDEF":
            index = versym.get_symbol(i).entry.ndx if versym is not None else 0
            imported[sym.name] = version_of.get(index if isinstance(index, int) else 0, (None, None))
        elif sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"):
            exported.add(sym.name)
    return needed, imported, exported


def module_faults(data):
    """What is wrong with one extension module's bytes, as lines; none when sound."""
    needed, imported, exported = imports_and_exports(ELFFile(io.BytesIO(data)))
    faults = [f"needs {lib}, which is not a manylinux system library" for lib in sorted(needed - SYSTEM_LIBRARIES)]
    for name, (library, version) in sorted(imported.items()):
        m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version or "")
        if m and tuple(map(int, m.groups())) > OLDEST_GLIBC:
            faults.append(f"needs {name}@{version} from {library}: newer than glibc 2.17")
    library, version = imported.get("exp", (None, None))
    if library != "libm.so.6" or not (version or "").startswith("GLIBC_"):
        where = "defined inside the module" if "exp" not in imported else f"taken from {library} {version}"
        faults.append(f"exp must be glibc's, imported from libm.so.6; it is {where}")
    faults += [f"exports {name}" for name in sorted(exported) if not EXPORTED.fullmatch(name)]
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
