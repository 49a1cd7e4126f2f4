"""Benchmarks that print figures and assert nothing. Called by scripts/bench.

    bench.py [--runs N]

- the size of the shipped executable (and of the 64-bit test build, if built);
- the full run of each family under a warm Wine session (full sample payload,
  the sample CD, both arguments) against a do-nothing program started the same
  way: medians of N runs each, and their ratio;
- the running-product guard's process walk over 10,000 simulated processes on
  the host (build/bench/bench_guard, which scripts/bench builds).
"""

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

import winebed

APP_DIR = "C:\\Program Files\\Korvanta"
CD = winebed.REPOSITORY / "examples" / "cd"


def exe_sizes() -> None:
    print("Executable size:")
    for arch, note in (("win32", "shipped"), ("win64", "test build, never shipped")):
        exe = winebed.REPOSITORY / "build" / arch / winebed.INSTALLER_NAME
        if exe.is_file():
            print(f"  {arch}: {exe.stat().st_size:,} bytes ({note})")


def median_seconds(run, runs: int) -> float:
    return statistics.median(run() for _ in range(runs))


def wine_runs(runs: int) -> None:
    arch, reason = winebed.wine_arch()
    print(f"\nFull run under a warm Wine session ({arch} build: {reason}), median of {runs}:")
    template = winebed.Template.build(spares=False)
    try:
        for family in winebed.FAMILIES:
            with template.new_machine(family) as machine:
                machine.add_cdrom("d", CD)
                machine.mkdir(APP_DIR)
                exe = machine.install_payload()
                noop = winebed.dos_path(winebed.tool("noop"))
                machine.start_session()
                machine.run(noop)  # warm the session: the first program start loads more
                installer = median_seconds(lambda: machine.run(exe, APP_DIR, "Korvanta").seconds, runs)
                baseline = median_seconds(lambda: machine.run(noop).seconds, runs)
                print(f"  {family}: installer {installer * 1000:.0f} ms, do-nothing program "
                      f"{baseline * 1000:.0f} ms, ratio {installer / baseline:.2f}")
    finally:
        template.cleanup()


def guard_walk() -> None:
    bench = winebed.REPOSITORY / "build" / "bench" / "bench_guard"
    print("\nGuard's process walk on the host (simulated machine):")
    if not bench.is_file():
        print("  (build/bench/bench_guard not built)")
        return
    sys.stdout.flush()
    subprocess.run([str(bench)], check=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    runs = parser.parse_args().runs
    exe_sizes()
    guard_walk()
    wine_runs(runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
