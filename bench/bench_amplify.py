"""Output amplification: peak memory growth of parse_bytes (C++ work and the returned dict
together) over crafted inputs of N bytes, divided by N. The bound kept is 16 x N + 64 MiB.

Run with the package importable: PYTHONPATH=build/python python bench/bench_amplify.py [MiB]
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from crafted import CRAFTED  # noqa: E402

# Builds the input first, resets the peak (Linux: clear_refs 5), parses, reads VmHWM.
CHILD = r"""
import sys, trawl
sys.path.insert(0, sys.argv[3])
from crafted import CRAFTED
data = CRAFTED[sys.argv[1]](int(sys.argv[2]))
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
result = trawl.parse_bytes(data)
print((status("VmHWM:") - before) * 1024, len(data), sorted(result), result.get("errors"))
"""


def growth(name, size):
    """Peak growth in bytes, the input's length, and a summary of the result."""
    out = subprocess.run([sys.executable, "-c", CHILD, name, str(size), os.path.dirname(__file__)],
                         check=True, capture_output=True, text=True)
    grown, n, rest = out.stdout.split(" ", 2)
    return int(grown), int(n), rest.strip()


def main():
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 16
    print(f"{'input':18} {'N':>9} {'growth':>10} {'growth / N':>11}  bound 16 N + 64 MiB")
    for name in CRAFTED:
        grown, n, _ = growth(name, mib << 20)
        bound = 16 * n + (64 << 20)
        print(f"{name:18} {n / 2**20:6.1f} MiB {grown / 2**20:6.0f} MiB {grown / n:10.1f} x"
              f"  {'ok' if grown <= bound else 'OVER'}", flush=True)


if __name__ == "__main__":
    main()
