#!/usr/bin/env python3
"""Turns the benchmark runs' JSON into the table of measures beside their
references: name, value, unit, reference, ratio, target, met.

The ratio is value / reference (for the image validation: its time over the
bare CRC loop's over a fresh view; for the CRC: the byte-table loop's time
over the sliced loop's). A measure meets its target when the ratio is at least its
min_ratio, at most its max_ratio, or when the value exceeds the reference by
at most its max_excess ("no growth with size")."""
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
    fresh, byte = runs.get("BM_FreshMapCrc/64"), runs.get("BM_ByteTableCrc/64")
    if v and fresh:
        ratio = seconds(v) / seconds(fresh)
        m.append(measure("image validation, 64 MiB (LoadImage)", rate_mb(v), "MB/s", rate_mb(fresh), ratio,
                         "time <= 1.1x bare CRC loop, fresh view", ratio <= 1.1,
                         "reference: the bare CRC loop over a view taken afresh each pass, as every LoadImage "
                         "takes its file (the frozen copy and the first touch's page faults in both); "
                         "ratio: time over time"))
        if ratio > 1.1:
            m[-1]["limit"] = (f"validation checks the CRC block by block and reads each unit's header and table "
                              f"beside it; the bare loop over a kept view runs at {rate_mb(c):.1f} MB/s"
                              if c else "")
    if c:
        m.append(measure("  bare CRC loop over a kept view", rate_mb(c), "MB/s", rate_mb(fresh) if fresh else None,
                         seconds(fresh) / seconds(c) if fresh else None,
                         note="the same loop without the copy and the first touch's page faults; ratio: the fresh "
                              "view's time over this one's"))
    if c and byte:
        speedup = seconds(byte) / seconds(c)
        m.append(measure("CRC-16 by slicing (Crc16), 64 MiB", rate_mb(c), "MB/s", rate_mb(byte), speedup,
                         "faster than the byte-table loop", speedup > 1.0,
                         "reference: the same CRC a byte at a time through the 256-entry table, kept view; "
                         "ratio: its time over the sliced loop's"))
    if p:
        m.append(measure("plain pass over the mapped 64 MiB", rate_mb(p), "MB/s", note="the memory's limit"))
    h16, h64 = runs.get("BM_ValidationHeap/16"), runs.get("BM_ValidationHeap/64")
    if h16 and h64:
        g16, g64 = h16["peak_heap_growth_bytes"], h64["peak_heap_growth_bytes"]
        m.append(measure("peak heap growth, validating 64 MiB", g64, "bytes", g16, (g64 / g16) if g16 else None,
                         "no growth with size (64 MiB vs 16 MiB)", g64 <= g16 + 4096,
                         "reference: the same for 16 MiB"))
        m.append(measure("peak resident size of the validation bench", h64["peak_rss_bytes"] / 2**20, "MiB"))
    # Loopback and engine measures name their counters in their label:
    # "measure:{...}" or "measure:[{...}, ...]".
    full_seen = False
    for key, b in sorted(runs.items(), key=lambda kv: ORDER.get(kv[0].split("/")[0], 99)):
        label = b.get("label", "")
        if not label.startswith("measure:"):
            continue
        specs = json.loads(label[len("measure:"):])
        for info in specs if isinstance(specs, list) else [specs]:
            m.append(from_counters(b, info))
        full_seen = full_seen or key.startswith("BM_CheckAndUpdate")
    if not any(k.startswith("BM_Shaped") for k in runs):
        for name, target in (("shaped LAN: router images (256 KiB, 8 MiB, 4 MiB)", ">= 0.95x the LAN's TCP goodput"),
                             ("shaped LAN: module downloads at 921600 and 12000000 bit/s", ">= 0.95x link rate"),
                             ("shaped LAN: whole update, real sizes (time scale 1, module link 12 Mbit/s)",
                              "<= 1.03x pauses plus every byte at its link's rate")):
            m.append(measure(name, None, "-", target=target,
                             note="not measured in this run: `bench/run --shaped` (root; about ten minutes)"))
    if "BM_StationScale" not in runs:
        m.append(measure("station: 4 lanes, 4 units (real sizes, time scale 1)", None, "s",
                         target="<= 1.15x one lane's one unit",
                         note="not measured in this run: `bench/run --station` (root; about fifteen minutes)"))
    if not full_seen:
        for name in ("whole check, 5 images (time scale 1)", "whole update, 5 items (time scale 1)"):
            m.append(measure(name, None, "s", target="<= 1.1x the protocol's floor",
                             note="not measured in this run: `bench/run --full` (takes about two minutes)"))
    return m


# The table's order: the measures with targets first, then the traps.
ORDER = {"BM_StationScale": -4, "BM_ShapedWholeUpdate": -3, "BM_ShapedRouterImages": -2, "BM_ShapedModuleDownload": -1,
         "BM_ModuleDownload": 1, "BM_ModuleDownloadAtRate": 2, "BM_RouterTransfer": 3, "BM_CheckAndUpdate": 4,
         "BM_DownloadMemory": 5, "BM_LoadedImagesMemory": 5, "BM_ReaderCpu": 6, "BM_StopAndWaitTraps": 7}


def from_counters(b, info):
    value = b.get(info["value"])
    reference = b.get(info["reference"]) if info.get("reference") else None
    ratio = value / reference if value is not None and reference else None
    met = None
    if "min_ratio" in info and ratio is not None:
        met = ratio >= info["min_ratio"]
    elif "max_ratio" in info and ratio is not None:
        met = ratio <= info["max_ratio"]
    elif "max_excess" in info and value is not None and reference is not None:
        met = value - reference <= info["max_excess"]
    result = measure(info["name"], value, info["unit"], reference, ratio, info.get("target"), met, info.get("note", ""))
    if met is False and info.get("limit"):
        try:
            result["limit"] = info["limit"].format(**{k: v for k, v in b.items() if isinstance(v, (int, float))})
        except (KeyError, ValueError):
            result["limit"] = info["limit"]
    return result


def cost(ratio):
    return f"a cost of {1 - ratio:.0%}" if ratio < 1 else "no cost"


def find(measures, prefix):
    return next((m for m in measures if m["name"].strip().startswith(prefix) and m["value"] is not None), None)


def traps(measures):
    """The three known traps, each with what it costs in this run."""
    lines = []
    nagle = find(measures, "trap: stop-and-wait of 4150-byte frames/5 B, Nagle on")
    ethernet = find(measures, "trap: the same in Ethernet-sized segments")
    engine = find(measures, "trap: DownloadImage to a bare acknowledger in Ethernet-sized segments")
    download = find(measures, "module download, ")
    if nagle and nagle["ratio"]:
        costs = [1 - m["ratio"] for m in (nagle, ethernet, engine) if m and m["ratio"]]
        worst = max(costs)
        block_us = 4096 / (download["value"] * 1e6) * 1e6 if download else None
        text = (f"Nagle's algorithm with delayed acknowledgements: a stop-and-wait of frame-sized blocks with Nagle "
                f"on runs at {nagle['ratio']:.2f}x of the same with TCP_NODELAY ({cost(nagle['ratio'])})")
        if ethernet and ethernet["ratio"]:
            text += (f"; in Ethernet-sized segments (three per frame, the last one held for an acknowledgement) "
                     f"and with socket buffers 0 at {ethernet['ratio']:.2f}x")
        if engine and engine["ratio"]:
            text += (f"; the engine itself (its port leaves Nagle on) in Ethernet-sized segments at "
                     f"{engine['ratio']:.2f}x of loopback's")
        text += (". Every request and every block goes out in one send and the next waits for the answer, so "
                 "nothing stays unacknowledged when a send begins, and this system's acknowledgements come at once. "
                 "No 40 ms stall shows (one per block would bring the download to 0.1 MB/s")
        if block_us:
            text += f"; it averages {block_us:.0f} us a block"
        text += ")."
        if worst > 0.10:
            text += (f" The largest difference, {worst:.0%}, is above 10% in this run: compare with other runs "
                     f"before acting, these short exchanges wander on a shared machine.")
        else:
            text += " Below 10%: nothing changed."
        lines.append(text)
    buffers = find(measures, "the same with the sender's socket buffers 0")
    raw = find(measures, "trap: plain send in 7300-byte writes, socket buffers 0")
    sw = find(measures, "trap: stop-and-wait of 4150-byte frames/5 B, socket buffers 0")
    if buffers and buffers["ratio"]:
        lines.append(
            f"Socket buffers set to 0: on Linux the port gets the smallest send buffer (about 4.6 KB). Sending a "
            f"router image to the simulated router that way runs at {buffers['ratio']:.2f}x of the same sender with "
            f"the system's buffers ({cost(buffers['ratio'])})"
            + (f"; to a plain reader at {raw['ratio']:.2f}x" if raw and raw["ratio"] else "")
            + (f"; a stop-and-wait of frame-sized blocks at {sw['ratio']:.2f}x" if sw and sw["ratio"] else "")
            + (". More than 10%" if max(1 - buffers["ratio"], 1 - (raw["ratio"] if raw and raw["ratio"] else 1))
               > 0.10 else ". Below 10%")
            + ", and not changed: the port opens its socket with buffers of 0 by design (a send is done when "
              "the router has taken the block, and a router that stops taking is caught at that very block by "
              "the 3000 ms write time-out), and larger buffers would give that up; left open as a decision. The "
              "transfer is not the piece that decides the update's length: the fixed pauses are (the whole "
              "update's row).")
    reader = find(measures, "reader thread CPU per MiB")
    if reader and reader["reference"]:
        per_block_us = reader["value"] * 1e3 * 5 / 2**20
        share, fraction = "", 0.0
        if download:
            block_us = 4096 / (download["value"] * 1e6) * 1e6
            fraction = per_block_us / block_us
            share = f", {fraction:.0%} of a block's time in the unlimited download above"
        lines.append(
            f"One-byte receives: the framed channel's reader spends {reader['value']:.0f} ms of CPU per MiB of "
            f"replies, {reader['value'] / reader['reference']:.0f}x a reader of the same stream taking 4 KiB per "
            f"receive. A module download receives about 5 bytes per 4 KiB block: {per_block_us:.1f} us of the "
            f"reader's CPU a block{share}, and nothing at a real port's rate. "
            + ("Below 10% of any step" if fraction <= 0.10 else
               "More than 10% only where no real port goes (a module answering at once)")
            + ": not changed "
            f"(the reader's one-byte receives leave every byte past a frame in the connection when the reader is "
            f"stopped for a router transfer, which the router transfer relies on).")
    return lines


def not_met(measures):
    return [m for m in measures if m["met"] is False]


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
    trap_lines = traps(measures)
    if trap_lines:
        print("\nTraps:")
        for line in trap_lines:
            print(f"- {line}")
    missed = not_met(measures)
    if missed:
        print("\nTargets not met:")
        for m in missed:
            print(f"- {m['name'].strip()}: {m.get('limit', 'no explanation recorded')}")
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
            if missed:
                f.write("## Targets not met, and what limits them\n\n")
                for m in missed:
                    f.write(f"- **{m['name'].strip()}** ({fmt(m['ratio'])}, target {m['target']}): "
                            f"{m.get('limit', 'no explanation recorded')}.\n")
                f.write("\n")
            if trap_lines:
                f.write("## Known traps, examined\n\n")
                for line in trap_lines:
                    f.write(f"- {line}\n")
                f.write("\n")
            notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "notes.md")
            if os.path.exists(notes):
                with open(notes) as n:
                    f.write(n.read().rstrip() + "\n\n")
            f.write("## Notes on the rows\n\n")
            for m in measures:
                if m["note"]:
                    f.write(f"- {m['name'].strip()}: {m['note']}\n")
            f.write("\n")
            f.write("Reproduce: `bench/run --write-doc` (builds the release preset, runs everything, rewrites\n")
            f.write("this page and `bench/results.json`); `bench/run --full` adds the whole check and update at\n")
            f.write("time scale 1, which takes minutes; `bench/run --shaped` (root) adds the measures on the\n")
            f.write("shaped LAN of `bench/lan.sh`, about ten minutes more; `bench/run --station` (root) adds\n")
            f.write("`orvane station` with 1, 2, 4 and 8 lanes on a bench of namespaces, about fifteen minutes more.\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
