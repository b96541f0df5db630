"""Lets a Windows wheel through only when its module needs no C++ runtime DLL that CPython
does not ship (msvcp140.dll and the like): the module links its C++ runtime statically,
so there is nothing to bundle. Prints the DLLs each module loads.
python tools/check_windows_wheel.py WHEEL..."""

import fnmatch
import sys
import zipfile

import pefile

# CPython's installers bring vcruntime140*.dll and Windows the C runtime; these come only
# with a Visual C++ redistributable or another compiler's toolchain.
NOT_SHIPPED = ["msvcp*.dll", "concrt*.dll", "vccorlib*.dll", "vcomp*.dll", "libc++*.dll", "libunwind*.dll",
               "libstdc++*.dll", "libgcc*.dll", "libwinpthread*.dll"]


def imported_dlls(image):
    pe = pefile.PE(data=image, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                                           pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    return [entry.dll.decode() for entry in entries]


def problems(wheel):
    with zipfile.ZipFile(wheel) as archive:
        modules = [name for name in archive.namelist() if name.lower().endswith(".pyd")]
        if not modules:
            return [f"{wheel}: holds no .pyd module"]
        found = []
        for name in modules:
            dlls = imported_dlls(archive.read(name))
            print(f"{name} loads {', '.join(dlls)}")
            found += [f"{name} needs {dll}, which CPython does not ship" for dll in dlls
                      if any(fnmatch.fnmatch(dll.lower(), pattern) for pattern in NOT_SHIPPED)]
        return found


def main(wheels):
    found = [problem for wheel in wheels for problem in problems(wheel)]
    for problem in found:
        print(problem, file=sys.stderr)
    return 1 if found or not wheels else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
