#!/usr/bin/env python3
"""clang-tidy over the product sources of a build tree's compile commands.

    scripts/tidy.py [BUILD_DIR]      (default build/debug; the tree must have been built)

A file whose compile command, sources and headers (as ninja recorded them), .clang-tidy and
clang-tidy version are those of an earlier clean check is not checked again: the record of clean
checks lives outside the clone, in ${XDG_CACHE_HOME:-~/.cache}/ovikburn/tidy. Any finding fails.
"""
import concurrent.futures
import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRODUCT = ("src/", "ovikline/")


def ninja_deps(build):
    """Source file -> the files ninja saw its object include (the source first)."""
    out = subprocess.run(["ninja", "-C", str(build), "-t", "deps"], capture_output=True,
                         text=True, check=True).stdout
    deps, current = {}, None
    for line in out.splitlines():
        if not line.strip():
            current = None
        elif not line.startswith(" "):
            current = line.split(":", 1)[0]
            deps[current] = []
        elif current is not None:
            deps[current].append(line.strip())
    by_source = {}
    for files in deps.values():
        if files:
            first = pathlib.Path(files[0])
            by_source[str(first if first.is_absolute() else (build / first).resolve())] = files
    return by_source


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build/debug").resolve()
    tidy = shutil.which("clang-tidy-14") or shutil.which("clang-tidy")
    if tidy is None:
        sys.exit("tidy: clang-tidy is missing: run scripts/install-deps.sh")
    commands = json.loads((build / "compile_commands.json").read_text())
    deps = ninja_deps(build)
    cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache"))
    cache = cache / "ovikburn" / "tidy"
    cache.mkdir(parents=True, exist_ok=True)
    common = hashlib.sha256()
    common.update(subprocess.run([tidy, "--version"], capture_output=True).stdout)
    common.update((ROOT / ".clang-tidy").read_bytes())

    todo, cached = [], 0
    for entry in commands:
        source = pathlib.Path(entry["file"]).resolve()
        rel = source.relative_to(ROOT).as_posix() if source.is_relative_to(ROOT) else ""
        if not rel.startswith(PRODUCT) or not rel.endswith(".cpp"):
            continue
        key = common.copy()
        key.update(rel.encode())
        key.update(entry["command"].replace(str(ROOT), "").encode())
        for dep in deps.get(str(source), [str(source)]):
            path = pathlib.Path(dep) if os.path.isabs(dep) else build / dep
            key.update(dep.replace(str(ROOT), "").encode())
            key.update(path.read_bytes() if path.exists() else b"?")
        stamp = cache / key.hexdigest()
        if stamp.exists():
            cached += 1
        else:
            todo.append((rel, stamp))

    def check(item):
        rel, stamp = item
        run = subprocess.run([tidy, "-p", str(build), "--quiet",
                              "--extra-arg=-Wno-unknown-warning-option", str(ROOT / rel)],
                             capture_output=True, text=True)
        if run.returncode == 0:
            stamp.touch()
        return rel, run

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        for rel, run in pool.map(check, todo):
            if run.returncode != 0:
                failed += 1
                print(f"tidy: {rel}:\n{run.stdout}{run.stderr}", file=sys.stderr)
    print(f"tidy: {len(todo)} files checked, {cached} unchanged since a clean check, "
          f"{failed} with findings")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
