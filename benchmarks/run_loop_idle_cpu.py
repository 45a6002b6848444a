#!/usr/bin/env python3
"""CPU use of an idle process on the Linux run loop: a 0.3 s repeating timer
(the observer's poll interval) and the three global monitors on the X
connection, nothing else happening. Measures, never asserts.

    scripts/desktop /usr/bin/python3 benchmarks/run_loop_idle_cpu.py [BUILD] [SECONDS]

BUILD defaults to $LARKSPIRE_BUILD or build/; SECONDS to 20.
"""

import json
import os
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("LARKSPIRE_BUILD", os.path.join(SOURCE, "build"))
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0
    probe = os.path.join(build, "tests", "e2e", "probes", "input_probe")
    hz = os.sysconf("SC_CLK_TCK")
    proc = subprocess.Popen([probe, "idle", str(seconds + 5)], stdout=subprocess.PIPE, text=True)
    ready = json.loads(proc.stdout.readline())
    assert ready.get("ready"), ready
    time.sleep(1.0)  # start-up work is not idle time
    start_ticks, start = cpu_ticks(proc.pid), time.monotonic()
    time.sleep(seconds)
    used = (cpu_ticks(proc.pid) - start_ticks) / hz
    wall = time.monotonic() - start
    ticks = json.loads(proc.stdout.readline())["ticks"]
    proc.wait()
    print(json.dumps({"seconds": round(wall, 2), "cpuSeconds": used,
                      "cpuPercentOfOneCore": round(100.0 * used / wall, 3), "timerFirings": ticks}))


if __name__ == "__main__":
    main()
