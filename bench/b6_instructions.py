"""B6: instructions executed by one fixed scan_detector computation, counted by callgrind.

bench/core_driver.cpp calls the core's run_scan_detector on a generated change-rich series of
--n values with every default, on one worker thread. The count does not depend on timing noise,
so a regression shows as a changed number; the fingerprint covers every bit of the result.
Valgrind does not emulate AVX-512, so the vector kernels run their AVX2 bodies here.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import tempfile

from _common import command_line, table


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--driver", default="build/bench/core_driver")
    parser.add_argument("--n", type=int, default=20_000)
    parser.add_argument("--top", type=int, default=8, help="functions listed by own cost")
    args = parser.parse_args()

    print(f"`{command_line()}`\n")
    if shutil.which("valgrind") is None:
        print("not run: valgrind is not installed (apt-get install valgrind)")
        return
    with tempfile.TemporaryDirectory() as tmp:
        out_file = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, RAYON_NUM_THREADS="1")
        run = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out_file}",
                args.driver,
                str(args.n),
                "change",
                "1",
            ],
            capture_output=True,
            text=True,
            env=env,
            check=True,
        )
        total = int(re.search(r"Collected : (\d+)", run.stderr).group(1))
        fingerprint = re.search(r"fingerprint=(\w+)", run.stdout).group(1)
        annotate = subprocess.run(
            ["callgrind_annotate", out_file], capture_output=True, text=True, check=True
        ).stdout
    rows = [["whole process", f"{total:,}", "100%"]]
    pattern = re.compile(r"^\s*([\d,]+) \(\s*([\d.]+)%\)\s+\S*?:(.+?)(?: \[.*\])?$")
    for line in annotate.splitlines():
        m = pattern.match(line)
        if m is None or "PROGRAM TOTALS" in line:
            continue
        name = m.group(3).replace("(anonymous namespace)::", "").replace("vollan::", "")
        name = re.sub(r"\(.*", "", re.sub(r"^void ", "", name))
        rows.append([f"`{name.strip()}`", m.group(1), f"{m.group(2)}%"])
        if len(rows) > args.top:
            break
    print(
        f"Result fingerprint `{fingerprint}` (n = {args.n:,}, change every 250 values, "
        "defaults, 1 thread)\n"
    )
    print(table(["function (own cost)", "instructions", "share"], rows))


if __name__ == "__main__":
    main()
