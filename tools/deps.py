#!/usr/bin/env python3
"""Dependency listing of the Linux emulation (src/platform/linux/).

    tools/deps.py [build-dir]

Prints, for each file of the folder, the internal headers it includes, then
the graph of its parts: a part is a concern with its headers and the sources
that implement them (PARTS below). A part depends on another when one of its
files includes a header of the other or, given a build directory (default
build/dev, skipped when it holds no objects), calls a function or uses a
variable that the other's object files define (nm). Fails (exit 1) on a cycle
between parts and on a file of the folder that no part claims.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
FOLDER = os.path.join("src", "platform", "linux")

# Lowest first. Each file of the folder belongs to exactly one part.
PARTS = {
    "base": ["sys.h", "dcheck.h", "list.h", "sys.cpp"],
    "internal_lock": ["internal_lock.h", "internal_lock.cpp"],
    "handles": ["handles.h", "handles.cpp"],
    "waitable": ["waitable.h", "waitable.cpp"],
    "queued_calls": ["queued_calls.h", "queued_calls.cpp"],
    "threads": ["threads.h", "threads.cpp", "blocking.cpp", "suspension.cpp", "termination.cpp"],
    "timers": ["timers.h", "timer_heap.h", "timer_service.h", "timers.cpp", "timer_service.cpp"],
    "errors": ["errors.h", "errors.cpp"],
    "signals": ["signals.cpp"],
    "semaphores": ["semaphores.h", "semaphore_files.h", "semaphores.cpp", "semaphore_files.cpp"],
    "critical_section": ["critical_section.cpp"],
    "waits": ["waits.cpp"],
    "process": ["process.cpp"],
    "clock": ["clock.cpp"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def part_of(name, owner):
    if name not in owner:
        raise SystemExit(f"deps: {FOLDER}/{name} belongs to no part: add it to PARTS in tools/deps.py")
    return owner[name]


def internal_includes(path):
    with open(path, encoding="utf-8") as source:
        text = source.read()
    return [name for name in INCLUDE.findall(text) if "/" not in name]


def symbols(objects_dir, source):
    """(defined, used) global symbols of a source's object file, or None."""
    obj = os.path.join(objects_dir, source + ".o")
    if not os.path.exists(obj):
        return None
    out = subprocess.run(["nm", "--defined-only", "-g", obj], capture_output=True, text=True, check=True).stdout
    # Strong definitions only: inline functions and templates of headers are
    # weak (W, V, u) in every object that uses them.
    defined = {line.split()[-1] for line in out.splitlines() if line.split()[1:2] and line.split()[1] in "TDBR"}
    out = subprocess.run(["nm", "--undefined-only", "-g", obj], capture_output=True, text=True, check=True).stdout
    used = {line.split()[-1] for line in out.splitlines() if line.strip()}
    return defined, used


def find_cycle(graph):
    state = {}

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph[node]):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, path + [nxt])
                if found:
                    return found
        state[node] = 2
        return None

    for node in graph:
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "dev")
    folder = os.path.join(ROOT, FOLDER)
    owner = {name: part for part, names in PARTS.items() for name in names}
    files = sorted(name for name in os.listdir(folder) if name.endswith((".h", ".cpp")))
    for name in owner:
        if name not in files:
            raise SystemExit(f"deps: PARTS names {name}, which {FOLDER}/ does not hold")

    graph = {part: set() for part in PARTS}
    print(f"Internal headers each file of {FOLDER}/ includes:")
    for name in files:
        part = part_of(name, owner)
        headers = internal_includes(os.path.join(folder, name))
        print(f"  {name:22} {' '.join(headers) if headers else '-'}")
        for header in headers:
            other = part_of(header, owner)
            if other != part:
                graph[part].add(other)

    objects_dir = os.path.join(ROOT, build, "CMakeFiles", "rvsysutils_objects.dir", FOLDER)
    tables = {name: symbols(objects_dir, name) for name in files if name.endswith(".cpp")}
    calls = all(table is not None for table in tables.values())
    if calls:
        defined_by = {}
        for name, (defined, _) in tables.items():
            for symbol in defined:
                defined_by[symbol] = owner[name]
        for name, (_, used) in tables.items():
            for symbol in used:
                other = defined_by.get(symbol)
                if other is not None and other != owner[name]:
                    graph[owner[name]].add(other)

    print("\nParts and what each depends on (includes" + (" and calls" if calls else ", no build to read calls from") + "):")
    for part in PARTS:
        print(f"  {part:17} -> {' '.join(p for p in PARTS if p in graph[part]) or '-'}")

    cycle = find_cycle(graph)
    if cycle:
        print("\ndeps: cycle: " + " -> ".join(cycle), file=sys.stderr)
        return 1
    print("\nNo cycle.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
