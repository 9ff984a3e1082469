#!/usr/bin/env python3
"""Checks that the libraries of the project link in one direction only.

Usage: library_graph.py <source dir> <scratch dir>

Configures the project into the scratch directory with cmake's --graphviz
output and reads the edges between the project's libraries. Each library has
a level; a library may link only libraries of a lower level, so the graph has
no cycle and nothing links sideways or upwards. The watcher links the
framework alone.
"""
import glob
import os
import re
import subprocess
import sys

LEVEL = {
    "tarrow_framework": 0,
    "tarrow_store": 1,
    "tarrow_protocol": 2,
    "tarrow_storage": 2,
    "tarrow_alarm": 2,
    "tarrow_resource": 3,
    "tarrow_core": 4,
    "tarrow_admin": 4,
}
WATCHER = {"tarrow_watcher", "tarrowguard"}
WATCHER_ALLOWED = {"tarrow_framework"}


def read_graph(dot_file):
    names, edges = {}, set()
    with open(dot_file, encoding="utf-8") as f:
        for line in f:
            node = re.match(r'\s*"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"', line)
            if node:
                names[node.group(1)] = node.group(2)
                continue
            edge = re.match(r'\s*"(node\d+)"\s*->\s*"(node\d+)"', line)
            if edge:
                edges.add((edge.group(1), edge.group(2)))
    return {(names[a], names[b]) for a, b in edges}


def main():
    source, scratch = sys.argv[1], sys.argv[2]
    os.makedirs(scratch, exist_ok=True)
    dot = os.path.join(scratch, "libraries.dot")
    subprocess.run(["cmake", "-S", source, "-B", scratch, "-DTARROW_BUILD_TESTS=OFF",
                    "-DTARROW_BUILD_BENCHMARKS=OFF", "--graphviz=" + dot],
                   check=True, stdout=subprocess.DEVNULL)
    edges = read_graph(dot)
    ours = {name for edge in edges for name in edge if name.startswith("tarrow_")}
    ours -= WATCHER
    faults = []
    for name in sorted(ours):
        if name not in LEVEL and name not in WATCHER:
            faults.append("library %s has no level in this check" % name)
    for user, used in sorted(edges):
        if not used.startswith("tarrow_"):
            continue
        if user in WATCHER:
            if used not in WATCHER_ALLOWED:
                faults.append("the watcher links %s" % used)
        elif not user.startswith("tarrow_"):
            continue  # a program or test may link any library
        elif used in WATCHER or LEVEL.get(used, 99) >= LEVEL.get(user, -1):
            faults.append("%s links %s, which is not below it" % (user, used))
    if not any(user == "tarrow_store" for user, _ in edges):
        faults.append("no edge from tarrow_store found: is the graph read right?")
    for fault in faults:
        print(fault)
    print("%d library edges checked" % len(edges))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
