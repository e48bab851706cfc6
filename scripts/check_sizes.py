#!/usr/bin/env python3
"""Fails when a source file of the project is over 400 lines or a function over 80.

Small files with one job each, and functions a reader takes in at once: this keeps them so. The
sources are the C++ under cpp/ and bindings/ and the Python under python/kestrix/ and
ansible_collections/ (tests, fuzz targets, benchmarks and scripts are not checked). C++ functions
(lambdas included) come from Universal Ctags, Python functions and methods from Python's own
parser. Run from anywhere:

    python3 scripts/check_sizes.py            # the check
    python3 scripts/check_sizes.py --top 10   # the ten largest files and longest functions too

Exit status 0 when everything is within its limit or allowed below, 1 with a line per file or
function that is not, 2 when Universal Ctags is missing.
"""

import argparse
import ast
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, Iterable, List, NamedTuple, Optional, Tuple

MAX_FILE_LINES = 400
MAX_FUNCTION_LINES = 80

CPP_ROOTS = ("cpp", "bindings")
PYTHON_ROOTS = ("python/kestrix", "ansible_collections")
CPP_SUFFIXES = {".cpp", ".hpp", ".cc", ".h"}
PYTHON_SUFFIXES = {".py", ".pyi"}
# Folders under the roots that hold no source of the package.
SKIPPED_FOLDERS = {"tests", "__pycache__"}
# The ctags fields that name what encloses a tag.
SCOPE_KINDS = {"class", "struct", "union", "namespace", "function"}

# The exceptions, each with its reason. A path ending in "/" covers everything below it; a key
# "path::function" covers that function alone (the name as the findings print it). Keep it short:
# a table of registrations or a help text reads best whole, nothing else belongs here.
ALLOWED: Dict[str, str] = {
    "bindings/krxflash/fpga_tool_binding.cpp::bindFpgaTool": "the registration table of FpgaTool's "
    "Python names, one .def per name",
    "bindings/core/tcp_connection_binding.cpp::bindTcpConnection": "the registration table of the "
    "connection's Python names, one .def per name",
    "ansible_collections/kestrix/fpga/plugins/modules/fpga_update.py": "an Ansible module keeps "
    "its DOCUMENTATION and RETURN blocks in the module, where ansible-doc reads them",
}


class Finding(NamedTuple):
    path: str  # relative to the repository root, with "/"
    line: int
    what: str  # "" for the file itself, else the function's name
    lines: int

    def key(self) -> str:
        return self.path if not self.what else f"{self.path}::{self.what}"

    def describe(self) -> str:
        if not self.what:
            return f"{self.path}: {self.lines} lines (at most {MAX_FILE_LINES})"
        return (
            f"{self.path}:{self.line}: function {self.what} is {self.lines} lines "
            f"(at most {MAX_FUNCTION_LINES})"
        )


class CtagsMissing(Exception):
    """Universal Ctags is not installed (or the ctags found is another one)."""


def sources(root: Path, roots: Iterable[str], suffixes: Iterable[str]) -> List[str]:
    wanted = set(suffixes)
    found: List[str] = []
    for top in roots:
        for path in (root / top).rglob("*"):
            relative = path.relative_to(root)
            if path.suffix not in wanted or not path.is_file():
                continue
            if any(part in SKIPPED_FOLDERS or part.startswith(".") for part in relative.parts):
                continue
            found.append(relative.as_posix())
    return sorted(found)


def line_count(path: Path) -> int:
    return len(path.read_text(encoding="utf-8").splitlines())


def ctags_program() -> str:
    program = shutil.which("ctags")
    if program is None:
        raise CtagsMissing("ctags is not installed")
    version = subprocess.run(
        [program, "--version"], capture_output=True, text=True, check=False
    ).stdout
    if "Universal Ctags" not in version:
        raise CtagsMissing(f"{program} is not Universal Ctags (it gives no function ends)")
    return program


def cpp_function_name(name: str, scope: str) -> str:
    """The function as a reader looks for it: Class::method, a free function, a lambda."""
    kind, _, qualified = scope.partition(":")
    owner = qualified.rsplit("::", 1)[-1]
    if name.startswith("__anon"):
        return f"<lambda in {owner}>" if kind == "function" else "<lambda>"
    if kind in ("class", "struct") and owner:
        return f"{owner}::{name}"
    return name


def cpp_functions(root: Path, files: List[str]) -> List[Finding]:
    """Every C++ function definition with its length, from Universal Ctags."""
    if not files:
        return []
    command = [ctags_program(), "--languages=C++", "--kinds-C++=f", "--excmd=number"]
    command += ["--fields=+ne", "--sort=no", "-o", "-"]
    output = subprocess.run(
        command + files, cwd=root, capture_output=True, text=True, check=True
    ).stdout
    found: List[Finding] = []
    for entry in output.splitlines():
        # name TAB file TAB line;" TAB kind TAB key:value ...
        columns = entry.split("\t")
        if len(columns) < 4 or columns[0].startswith("!_"):
            continue
        fields = dict(c.split(":", 1) for c in columns[4:] if ":" in c)
        if "line" not in fields or "end" not in fields:
            continue
        scope = next((f"{k}:{v}" for k, v in fields.items() if k in SCOPE_KINDS), "")
        start, end = int(fields["line"]), int(fields["end"])
        found.append(
            Finding(columns[1], start, cpp_function_name(columns[0], scope), end - start + 1)
        )
    return found


def python_functions(root: Path, path: str) -> List[Finding]:
    """Every function and method of a Python file with its length, decorators left out."""
    tree = ast.parse((root / path).read_text(encoding="utf-8"), filename=path)
    found: List[Finding] = []

    def visit(node: ast.AST, prefix: str) -> None:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                name = prefix + child.name
                end = child.end_lineno or child.lineno
                found.append(Finding(path, child.lineno, name, end - child.lineno + 1))
                visit(child, name + ".")
            elif isinstance(child, ast.ClassDef):
                visit(child, prefix + child.name + ".")
            else:
                visit(child, prefix)

    visit(tree, "")
    return found


def measure(root: Path) -> Tuple[List[Finding], List[Finding]]:
    """Every checked file and every function in them, each with its length in lines."""
    cpp = sources(root, CPP_ROOTS, CPP_SUFFIXES)
    python = sources(root, PYTHON_ROOTS, PYTHON_SUFFIXES)
    files = [Finding(p, 1, "", line_count(root / p)) for p in cpp + python]
    functions = cpp_functions(root, cpp)
    for path in python:
        functions += python_functions(root, path)
    return files, functions


def matches(entry: str, finding: Finding) -> bool:
    if "::" in entry:
        return entry == finding.key()
    return finding.path == entry or entry.endswith("/") and finding.path.startswith(entry)


def allowance(finding: Finding) -> Optional[str]:
    """The reason the allowlist gives for this file or function, or None."""
    return next((reason for entry, reason in ALLOWED.items() if matches(entry, finding)), None)


def stale_entries(files: List[Finding], functions: List[Finding]) -> List[str]:
    """Entries naming a file or function that no longer exists (renamed, split, removed)."""
    return [e for e in ALLOWED if not any(matches(e, f) for f in files + functions)]


def over_limits(files: List[Finding], functions: List[Finding]) -> List[Finding]:
    over = [f for f in files if f.lines > MAX_FILE_LINES]
    over += [f for f in functions if f.lines > MAX_FUNCTION_LINES]
    return over


def report_top(files: List[Finding], functions: List[Finding], count: int) -> None:
    def show(title: str, rows: List[Finding]) -> None:
        print(title)
        for row in sorted(rows, key=lambda r: (-r.lines, r.path, r.line))[:count]:
            name = row.path if not row.what else f"{row.what} ({row.path}:{row.line})"
            note = allowance(row)
            print(f"  {row.lines:5d}  {name}" + (f"  [allowed: {note}]" if note else ""))

    show(f"the {count} largest files", files)
    show(f"the {count} longest functions", functions)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument(
        "--top",
        type=int,
        default=0,
        metavar="N",
        help="also list the N largest files and functions",
    )
    args = parser.parse_args()
    root = Path(__file__).resolve().parent.parent
    try:
        files, functions = measure(root)
    except CtagsMissing as error:
        print(
            f"check_sizes: {error}; install Universal Ctags "
            "(Debian: sudo apt-get install universal-ctags, or run scripts/bootstrap.sh)",
            file=sys.stderr,
        )
        return 2
    if args.top > 0:
        report_top(files, functions, args.top)
    over = over_limits(files, functions)
    findings = [f for f in over if allowance(f) is None]
    for entry in stale_entries(files, functions):
        print(f"check_sizes: note: the allowlist names {entry}, which does not exist; remove it")
    for finding in sorted(findings, key=lambda f: (f.path, f.line)):
        print(finding.describe())
    if findings:
        print(
            f"check_sizes: {len(findings)} file(s) or function(s) over their limit; split them "
            "by job (or, for a registration table or a help text, add them to ALLOWED)"
        )
        return 1
    print(
        f"check_sizes: every file within {MAX_FILE_LINES} lines and every function within "
        f"{MAX_FUNCTION_LINES}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
