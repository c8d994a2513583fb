"""Allocation section: runs alloc_probe.py under the counting shim.

Usage: python alloc.py --shim LIBSHIM.so [--fragment FRAGMENT.md]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

from common import Target, markdown_table, targets_table, write_fragment

HERE = os.path.dirname(os.path.abspath(__file__))


def controls_ok(counts: dict) -> bool:
    empty, one, cwd = (counts[k] for k in ("control: empty call", "control: bytes(64)",
                                           "control: os.getcwd()"))
    return (empty["per_call_c"] == 0 and empty["per_call_python"] == 0
            and one["per_call_python"] == 1 and cwd["per_call_c"] >= 1)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--shim", required=True)
    parser.add_argument("--fragment")
    args = parser.parse_args()
    env = dict(os.environ, LD_PRELOAD=os.path.abspath(args.shim))
    done = subprocess.run([sys.executable, os.path.join(HERE, "alloc_probe.py"), args.shim],
                          env=env, capture_output=True, text=True, check=False)
    head = "### Heap allocations (counting shim: C library and Python allocators)\n\n"
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        text = head + f"The probe failed (exit code {done.returncode})."
        write_fragment(args.fragment, text + "\n\n" + targets_table(
            [Target("heap allocations per call after the first", "probe failed", "0", False)]))
        return
    counts = json.loads(done.stdout)
    rows, targets = [], []
    for name, c in counts.items():
        rows.append([name, f"{c['first_call_c']} + {c['first_call_python']}",
                     f"{c['per_call_c']:g}", f"{c['per_call_python']:g}",
                     f"{c['frees_per_call_c']:g}"])
        if not name.startswith("control"):
            total = c["per_call_c"] + c["per_call_python"]
            targets.append(Target(f"{name}: heap allocations per call after the first",
                                  f"{total:g}", "0", total == 0))
    table = markdown_table(["call", "first call (C + Python)", "C library per call",
                            "Python allocators per call", "C frees per call"], rows)
    text = head + table + (
        "\n\nControls as expected: 0 for the empty call, 1 Python allocation for bytes(64), "
        "at least 1 C-library allocation for os.getcwd()." if controls_ok(counts) else
        "\n\nWARNING: the controls are off; the counts above are not to be trusted.")
    text += "\n\n#### Targets (allocations)\n\n" + targets_table(targets)
    write_fragment(args.fragment, text)


if __name__ == "__main__":
    main()
