"""One benchmark script against two builds of the module, before and after a change.

Runs `SCRIPT --json [SCRIPT ARGS]` in a child process per build, with
PYTHONPATH=<build dir>:<repo>/src, alternately (the build that goes first swaps every
round), keeps the best figure of each build over the rounds (the least seconds, the
highest rate) and prints one table: figure, before, after, and how many times better
after is (before / after for seconds, after / before for rates).

    python benchmarks/before_after.py BEFORE_DIR AFTER_DIR SCRIPT [--rounds 3] [-- SCRIPT ARGS...]

for example
    python benchmarks/before_after.py ../baseline/build build/dev benchmarks/bench_cost.py -- --rounds 11
"""

import argparse
import json
import os
import subprocess
import sys

from timing import load_average

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "src"))


def environment(build: str) -> dict[str, str]:
    return {**os.environ, "PYTHONPATH": f"{os.path.abspath(build)}{os.pathsep}{SOURCE}"}


def module_file(build: str) -> str:
    """Where the module loads from with this build first on the path; it must be that build
    (a directory without a built module would silently fall back on an installed one)."""
    found = subprocess.run(
        [sys.executable, "-c", "import velmar_backend; print(velmar_backend.__file__)"],
        env=environment(build),
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    if os.path.dirname(os.path.realpath(found)) != os.path.realpath(build):
        raise SystemExit(f"{build}: no module built there (velmar_backend loads from {found})")
    return found


def figures(build: str, script: str, script_args: list[str]) -> dict[str, float]:
    child = subprocess.run(
        [sys.executable, script, "--json", *script_args], env=environment(build), capture_output=True, text=True
    )
    if child.returncode != 0:
        raise SystemExit(f"{script} against {build} failed (exit code {child.returncode}):\n{child.stderr}")
    return json.loads(child.stdout.strip().splitlines()[-1])


def better(name: str, first: float, second: float) -> float:
    """The better of two values of a figure: rates (" /s") higher, seconds lower."""
    return max(first, second) if name.endswith("/s") else min(first, second)


def shown(name: str, value: float | None) -> str:
    if value is None:
        return "-"
    if name.endswith("/s"):
        return f"{value:,.0f}"
    return f"{value * 1e3:.3f} ms" if value < 1.0 else f"{value:.3f} s"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("before", help="build directory of the module before the change")
    parser.add_argument("after", help="build directory of the module after the change")
    parser.add_argument("script", help="benchmark script that takes --json")
    parser.add_argument("--rounds", type=int, default=3, help="runs of the script per build (default 3)")
    argv = sys.argv[1:]
    if not argv:  # `make bench` runs every script here without arguments
        parser.print_help()
        return
    split = argv.index("--") if "--" in argv else len(argv)
    args, script_args = parser.parse_args(argv[:split]), argv[split + 1 :]
    builds = {"before": args.before, "after": args.after}

    print(f"{args.script} {' '.join(script_args)}".rstrip())
    for label, build in builds.items():
        print(f"  {label:<7} {module_file(build)}")
    print(f"  {load_average()} at the start")
    best: dict[str, dict[str, float]] = {label: {} for label in builds}
    for round_ in range(max(args.rounds, 1)):
        for label in list(builds)[:: 1 if round_ % 2 == 0 else -1]:
            for name, value in figures(builds[label], args.script, script_args).items():
                kept = best[label].get(name)
                best[label][name] = value if kept is None else better(name, kept, value)

    names = list(dict.fromkeys([*best["before"], *best["after"]]))
    width = max(len("figure"), *map(len, names))
    print(f"  {'figure':<{width}}  {'before':>14}  {'after':>14}  {'after better':>12}")
    for name in names:
        before, after = best["before"].get(name), best["after"].get(name)
        ratio = "-"
        if before is not None and after is not None:
            ratio = f"{(after / before if name.endswith('/s') else before / after):.2f}x"
        print(f"  {name:<{width}}  {shown(name, before):>14}  {shown(name, after):>14}  {ratio:>12}")
    print(f"  best of {args.rounds} runs per build, alternated; {load_average()} at the end")


if __name__ == "__main__":
    main()
