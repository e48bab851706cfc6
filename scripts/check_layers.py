#!/usr/bin/env python3
"""Fails when a layer of the C++ core includes a layer above it.

The layers, from the bottom (ARCHITECTURE.md draws them): contracts; files, crypto and wire; net;
flash and lobesteer; jobs; sim. A folder of cpp/include/kestrix/ and cpp/src/ is a layer; each may
include itself and the layers LAYERS lists for it, nothing else. The simulator's executable
(cpp/tools/) is above everything. Run from anywhere:

    python3 scripts/check_layers.py

Exit status 0 when every include keeps to its layer, 1 with a line per include that does not.
"""

import re
import sys
from pathlib import Path
from typing import Dict, List, Set

# What each layer may include besides itself.
LAYERS: Dict[str, Set[str]] = {
    "contracts": set(),
    "files": {"contracts"},
    "crypto": {"contracts", "files"},
    "wire": {"contracts"},
    "net": {"contracts", "wire"},
    "flash": {"contracts", "files", "crypto", "wire"},
    "lobesteer": {"contracts"},
    "jobs": {"contracts", "files", "crypto", "wire", "net", "flash"},
    "sim": {"contracts", "files", "crypto", "wire", "net", "flash", "lobesteer"},
    "tools": {"contracts", "files", "crypto", "wire", "net", "flash", "lobesteer", "jobs", "sim"},
}
# The device profile is the one part of the tool the simulator takes (its default versions and
# erase arguments); it must not reach the tool's engine or connection.
SIM_MAY_TAKE_FROM_FLASH = {"device_profile.hpp"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"kestrix/([a-z_]+)/([^"]+)"', re.MULTILINE)


def layer_of(path: Path, cpp: Path) -> str:
    parts = path.relative_to(cpp).parts
    if parts[0] == "include":
        return parts[2]  # include/kestrix/<layer>/...
    if parts[0] == "src":
        return parts[1]
    return parts[0]  # tools


def violations(root: Path) -> List[str]:
    cpp = root / "cpp"
    found: List[str] = []
    for path in sorted(p for p in cpp.rglob("*") if p.suffix in (".hpp", ".cpp")):
        layer = layer_of(path, cpp)
        if layer not in LAYERS:
            found.append(f"{path.relative_to(root)}: folder '{layer}' is not a known layer")
            continue
        for match in INCLUDE.finditer(path.read_text(encoding="utf-8")):
            target, name = match.group(1), match.group(2)
            if (
                target == layer
                or target in LAYERS[layer]
                and not (
                    layer == "sim" and target == "flash" and name not in SIM_MAY_TAKE_FROM_FLASH
                )
            ):
                continue
            found.append(
                f"{path.relative_to(root)}: the {layer} layer includes kestrix/{target}/{name}"
            )
    return found


def main() -> int:
    root = Path(__file__).resolve().parent.parent
    found = violations(root)
    for line in found:
        print(line)
    if found:
        print(f"check_layers: {len(found)} include(s) reach a layer above their own")
        return 1
    print("check_layers: every include keeps to its layer")
    return 0


if __name__ == "__main__":
    sys.exit(main())
