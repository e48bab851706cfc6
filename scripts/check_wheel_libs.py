"""Run by the interpreter of a venv that has the kestrix wheel installed (scripts/test_wheel.sh):
imports the three extension modules and checks from /proc/self/maps that the process then holds
libkestrix_core.so from the installed package and libcrypto only from the copy the wheel bundles
(kestrix.libs/), never the system's. Exits non-zero, naming what it found, when not."""

import os
import sys


def mapped(word: str) -> set:
    """The files mapped into this process whose names contain ``word``."""
    with open("/proc/self/maps") as maps:
        fields = (line.split(maxsplit=5) for line in maps)
        return {f[5].strip() for f in fields if len(f) == 6 and word in os.path.basename(f[5])}


def main() -> int:
    import kestrix
    import kestrix._core
    import kestrix.krxdev.LobeSteer
    import kestrix.KRXFlash

    package = os.path.dirname(os.path.realpath(kestrix.__file__))
    bundled = os.path.join(os.path.dirname(package), "kestrix.libs")
    crypto = mapped("libcrypto")
    core = mapped("libkestrix_core")
    print(f"kestrix from {package}")
    print("libcrypto mapped: " + ", ".join(sorted(crypto)))
    print("libkestrix_core mapped: " + ", ".join(sorted(core)))

    problems = []
    if not package.startswith(os.path.realpath(sys.prefix) + os.sep):
        problems.append(f"kestrix was imported from outside this venv ({sys.prefix})")
    if not crypto:
        problems.append("no libcrypto is mapped after importing the extension modules")
    problems += [
        f"{path} is not the bundled libcrypto"
        for path in crypto
        if os.path.dirname(path) != bundled
    ]
    if core != {os.path.join(package, "libkestrix_core.so")}:
        problems.append("libkestrix_core.so is not (only) the one in the installed package")
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
