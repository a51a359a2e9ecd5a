#!/usr/bin/env python3
"""MarlinCore benchmarks: `./marlin bench [--quick] [--only NAME]`.

Runs inside tools/wine-session (a throw-away prefix, a display, a wineserver).
Each bench_*.py module in this folder has run(ctx) -> list of rows; modules run
in name order (baselines first, so later figures can be given as ratios to
them). The table is printed and the rows are written to
build/bench/results.json.
"""
import argparse
import glob
import importlib
import json
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))


class Context:
    def __init__(self, quick):
        self.quick = quick
        self.build_dir = os.environ.get("MARLIN_BUILD_DIR", os.path.join(ROOT, "build"))
        self.bin_dir = os.path.join(self.build_dir, "bin")
        self.source_dir = ROOT
        self.template = os.environ.get("MARLIN_WINE_TEMPLATE")
        self.baselines = {}
        self.cleanups = []  # run last to first when the run ends (services, prefixes)

    def count(self, n):
        """Sample counts shrink tenfold with --quick."""
        return max(10, n // 10) if self.quick else n

    @staticmethod
    def row(name, value, unit, baseline=None, ratio=None, target=None, ok=None, extra=None):
        return {"name": name, "value": value, "unit": unit, "baseline": baseline, "ratio": ratio,
                "target": target, "ok": ok, **(extra or {})}


def fmt(v):
    if v is None:
        return ""
    if isinstance(v, float):
        return f"{v:,.3f}" if abs(v) < 100 else f"{v:,.0f}"
    return str(v)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer samples (a smoke run)")
    parser.add_argument("--only", action="append", default=[], help="run modules whose name contains this")
    args = parser.parse_args()

    ctx = Context(args.quick)
    rows = []
    failed = []
    for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        if args.only and not name.startswith("bench_00") and not any(o in name for o in args.only):
            continue
        print(f"== {name}", flush=True)
        t0 = time.monotonic()
        try:
            module_rows = importlib.import_module(name).run(ctx)
        except Exception:
            traceback.print_exc()
            failed.append(name)
            continue
        for r in module_rows:
            r["module"] = name
        rows.extend(module_rows)
        print(f"   ({time.monotonic() - t0:.1f} s)", flush=True)

    for cleanup in reversed(ctx.cleanups):
        try:
            cleanup()
        except Exception:
            traceback.print_exc()

    print()
    header = ("figure", "value", "unit", "baseline", "ratio", "target", "holds")
    table = [header] + [(r["name"], fmt(r["value"]), r["unit"], fmt(r["baseline"]), fmt(r["ratio"]),
                         r["target"] or "", "" if r["ok"] is None else ("yes" if r["ok"] else "NO"))
                        for r in rows]
    widths = [max(len(str(line[i])) for line in table) for i in range(len(header))]
    for line in table:
        print("  ".join(str(c).ljust(w) for c, w in zip(line, widths)))

    out_dir = os.path.join(ctx.build_dir, "bench")
    os.makedirs(out_dir, exist_ok=True)
    out = os.path.join(out_dir, "results.json")
    with open(out, "w") as f:
        json.dump({"quick": args.quick, "time": time.strftime("%Y-%m-%dT%H:%M:%S"), "rows": rows,
                   "baselines": ctx.baselines, "failed": failed}, f, indent=2)
    print(f"\nresults: {out}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
