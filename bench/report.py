#!/usr/bin/env python3
"""Turns the benchmark runs' JSON into the table of measures beside their
references: name, value, unit, reference, ratio, target, met."""
import argparse
import glob
import json
import os
import platform
import subprocess
import sys
import time


def load_runs(folder):
    runs = {}
    context = {}
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        with open(path) as f:
            data = json.load(f)
        context = data.get("context", context)
        for b in data.get("benchmarks", []):
            if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                continue
            runs[b["name"].split("/min_time")[0].split("/iterations")[0].split("/real_time")[0]] = b
    return runs, context


def seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def rate_mb(b):
    return b["bytes_per_second"] / 1e6 if "bytes_per_second" in b else None


def measure(name, value, unit, reference=None, ratio=None, target=None, met=None, note=""):
    return {"name": name, "value": value, "unit": unit, "reference": reference, "ratio": ratio,
            "target": target, "met": met, "note": note}


def build_measures(runs):
    m = []
    v, c, p = runs.get("BM_ValidateImage/64"), runs.get("BM_BareCrc/64"), runs.get("BM_PlainPass/64")
    if v and c:
        ratio = seconds(v) / seconds(c)
        m.append(measure("image validation, 64 MiB (LoadImage)", rate_mb(v), "MB/s", rate_mb(c), ratio,
                         "time <= 1.2x bare CRC loop", ratio <= 1.2, "reference: bare CRC loop over the mapping"))
    if p:
        m.append(measure("plain pass over the mapped 64 MiB", rate_mb(p), "MB/s", note="the memory's limit"))
    h16, h64 = runs.get("BM_ValidationHeap/16"), runs.get("BM_ValidationHeap/64")
    if h16 and h64:
        g16, g64 = h16["peak_heap_growth_bytes"], h64["peak_heap_growth_bytes"]
        m.append(measure("peak heap growth, validating 64 MiB", g64, "bytes", g16, (g64 / g16) if g16 else None,
                         "no growth with size (64 MiB vs 16 MiB)", g64 <= g16 + 4096,
                         "reference: the same for 16 MiB"))
        m.append(measure("peak resident size of the validation bench", h64["peak_rss_bytes"] / 2**20, "MiB"))
    # Loopback and engine measures carry their own references as counters.
    for key, b in sorted(runs.items()):
        plan = b.get("label", "")
        if not plan.startswith("measure:"):
            continue
        info = json.loads(plan[len("measure:"):])
        value = b.get(info["value"]) if info["value"] in b else None
        reference = b.get(info["reference"]) if info.get("reference") in b else None
        ratio = None
        if value is not None and reference:
            ratio = value / reference if info.get("higher_is_better", True) else reference / value
        met = None if ratio is None or "min_ratio" not in info else ratio >= info["min_ratio"]
        m.append(measure(info["name"], value, info["unit"], reference, ratio, info.get("target"), met,
                         info.get("note", "")))
    return m


def fmt(x):
    if x is None:
        return "-"
    if isinstance(x, bool):
        return "yes" if x else "NO"
    if isinstance(x, float):
        return f"{x:,.3f}" if abs(x) < 10 else f"{x:,.1f}"
    return f"{x:,}" if isinstance(x, int) else str(x)


def table(measures):
    head = ["measure", "value", "unit", "reference", "ratio", "target", "met"]
    rows = [[m["name"], fmt(m["value"]), m["unit"], fmt(m["reference"]), fmt(m["ratio"]),
             m["target"] or "-", fmt(m["met"])] for m in measures]
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    line = lambda r: "| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |"
    out = [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += [line(r) for r in rows]
    return "\n".join(out)


def machine(context):
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
    except OSError:
        pass
    return (f"{platform.node()}: {context.get('num_cpus', os.cpu_count())} CPUs at "
            f"{context.get('mhz_per_cpu', '?')} MHz ({cpu}), {platform.system()} {platform.release()}, "
            f"load average {context.get('load_avg', ['?'])[0] if context.get('load_avg') else '?'}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folder")
    ap.add_argument("--results", required=True)
    ap.add_argument("--doc")
    args = ap.parse_args()
    runs, context = load_runs(args.folder)
    measures = build_measures(runs)
    with open(args.results, "w") as f:
        json.dump(measures, f, indent=2)
        f.write("\n")
    text = table(measures)
    print()
    print(text)
    print(f"\n{machine(context)}")
    print(f"results: {args.results}")
    if args.doc:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
        with open(args.doc, "w") as f:
            f.write("# Performance\n\n")
            f.write("How fast an update goes, and how close each piece comes to its limit. Every measure stands\n")
            f.write("beside its reference, measured in the same run on the same machine, so the ratios hold even\n")
            f.write("where absolute times wander.\n\n")
            f.write(f"Latest run: {time.strftime('%Y-%m-%d')}, commit {commit}, on {machine(context)}.\n\n")
            f.write(text + "\n\n")
            f.write("Reproduce: `bench/run --write-doc` (builds the release preset, runs everything, rewrites\n")
            f.write("this page and `bench/results.json`); `bench/run --full` adds the whole check and update at\n")
            f.write("time scale 1, which takes minutes.\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
