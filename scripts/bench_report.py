"""Writes docs/performance.md and its plots from the outputs scripts/bench-report collected.

Each benchmark prints ours beside Embree's, measured in turns in one run; this reads those
outputs (Google Benchmark's JSON and the programs' own summaries), keeps them in docs/perf/raw/,
and draws: frame rates against threads, our ratio to Embree per figure, the settling picture's
error against passes, and the grid's rays per second against its resolution.

    python3 scripts/bench_report.py --raw DIR --out docs/performance.md --plots docs/perf [--quick]
"""

import argparse
import datetime
import json
import os
import re
import shutil
import subprocess

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the back end is chosen)


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def number(text):
    return float(text.replace(",", ""))


# ---- the programs' outputs -------------------------------------------------------------------

def sectioned(text, headers):
    """(section, line) for every line of text that is not a header; a line starting with one of
    the headers' prefixes opens its section, a blank line closes it."""
    section = None
    for line in text.splitlines():
        opened = [name for prefix, name in headers if line.startswith(prefix)]
        if opened:
            section = opened[0]
        elif not line.strip():
            section = None
        else:
            yield section, line


def benchmarks(json_text):
    """Google Benchmark's runs from its JSON output (none when the program wrote none)."""
    try:
        return json.loads(json_text).get("benchmarks", []) if json_text else []
    except json.JSONDecodeError:
        return []


def parse_grid(text, json_text):
    """grid_bench: the summary's rows (label, our median, Embree's median, ratio range per round)
    and, from the JSON, rays per second per build factor of round 1."""
    out = {"rows": [], "kernels": "", "load": "", "factors": {}}
    m = re.search(r"kernels (\S+); load average ([\d.]+ [\d.]+ [\d.]+)", text)
    if m:
        out["kernels"], out["load"] = m.group(1), m.group(2)
    m = re.search(r"Demo model 0: (\d+) triangles, demo build factor ([\d.]+|auto); (\d+) camera rays, (\d+) shadow rays", text)
    if m:
        out["triangles"] = int(m.group(1))
        if m.group(2) != "auto":  # auto has no place on the factor axis
            out["demo_factor"] = float(m.group(2))
        out["camera_rays"], out["shadow_rays"] = int(m.group(3)), int(m.group(4))
    for section, line in sectioned(text, [("build (triangles/s)", "build"), ("query (rays/s", "query")]):
        m = re.match(r"^(\S.*?)\s+(\d+)\s+(\d+)\s+([\d.]+)-([\d.]+)\s*(.*)$", line)
        if section and m:
            out["rows"].append({"section": section, "label": m.group(1), "ours": float(m.group(2)),
                                "peer": float(m.group(3)), "low": float(m.group(4)), "high": float(m.group(5)),
                                "extra": m.group(6).strip()})
    for b in benchmarks(json_text):
        m = re.match(r"^(Camera|Shadow)/(grid|embree)/factor:([\d.]+)/round:1", b.get("name", ""))
        if m and "rays/s" in b:
            out["factors"].setdefault((m.group(1), m.group(2)), {})[float(m.group(3))] = b["rays/s"]
    return out


def parse_frame(text, json_text):
    """frame_bench: the interleaved summary (mask, hybrid frame, traced frames, depth read-back)
    and, from the JSON, frames per second of every benchmark per thread count."""
    out = {"mask": [], "traced": [], "gl_alone": None, "load": "", "depth": [], "gbench": {}}
    m = re.search(r"interleaved with Embree at \d+ x \d+, load average ([\d.]+ [\d.]+ [\d.]+)", text)
    if m:
        out["load"] = m.group(1)
    nums = lambda s: [float(x) for x in re.findall(r"-?\d+(?:\.\d+)?", s)]
    for part, line in sectioned(text, [("threads | our mask", "mask"), ("threads | our one-ray", "traced")]):
        m = re.match(r"the same frame without tracing \(OpenGL alone\): ([\d.]+) \(([\d.]+)\)", line)
        if m:
            out["gl_alone"] = (float(m.group(1)), float(m.group(2)))
            continue
        m = re.match(r"(GL_\S+, GL_\S+):\s+([\d.]+) ms(.*)$", line)
        if m:
            out["depth"].append((m.group(1), float(m.group(2)), m.group(3).strip(", ")))
            continue
        if part and re.match(r"^\s*\d+ \|", line):
            v = nums(line)
            if part == "mask" and len(v) >= 10:
                out["mask"].append({"threads": int(v[0]), "ours": v[1], "ours_cpu": v[2], "peer": v[3],
                                    "peer_cpu": v[4], "ratio": v[5], "ratio_cpu": v[6], "frame": v[7],
                                    "frame_cpu": v[8], "frame_ratio": v[9]})
            elif part == "traced" and len(v) >= 11:
                out["traced"].append({"threads": int(v[0]), "one": v[1], "one_cpu": v[2], "peer": v[3],
                                      "peer_cpu": v[4], "ratio": v[5], "ratio_cpu": v[6], "viewer": v[7],
                                      "viewer_cpu": v[8], "viewer_ratio": v[9], "viewer_ratio_cpu": v[10]})
    for b in benchmarks(json_text):
        m = re.match(r"^(\w+)/(\d+)/", b.get("name", ""))
        if not m or b.get("run_type", "iteration") != "iteration":
            continue
        seconds = b["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
        if seconds > 0:
            out["gbench"].setdefault(m.group(1), {})[int(m.group(2))] = 1.0 / seconds
    return out


def parse_settle(text):
    out = {"parts": [], "rest": "", "load": ""}
    m = re.search(r"load average ([\d.]+ [\d.]+ [\d.]+)", text)
    if m:
        out["load"] = m.group(1)
    part = None
    for line in text.splitlines():
        m = re.match(r"^(traced image|hybrid mask), (\d+) threads: reference of (\d+) samples in ([\d.]+) s", line)
        if m:
            part = {"name": m.group(1), "threads": int(m.group(2)), "reference": int(m.group(3)),
                    "reference_s": float(m.group(4)), "rows": []}
            out["parts"].append(part)
            continue
        m = re.match(r"^\s+(\d+) \|\s+([\d.]+) \|\s+([\d.]+) \|\s+([\d.]+)$", line)
        if part and m:
            part["rows"].append((int(m.group(1)), float(m.group(2)), float(m.group(3)), float(m.group(4))))
            continue
        if line.startswith("viewer at rest"):
            out["rest"] = line.strip()
    return out


def parse_budget(text):
    out = {}
    pats = {
        "head": r"demo scene at (\d+) x (\d+), (\d+) threads",
        "full": r"full trace: median frame ([\d.]+) ms \(([\d.]+) fps\)",
        "ours": r"(\d+) ms budget: median frame ([\d.]+) ms \(([\d.]+) fps\), ratio ([\d.]+) \(1/([\d.]+)\); median traced share ([\d.]+)",
        "parts": r"of which: lattice shading ([\d.]+), reconstruction (-?[\d.]+), copy to the window ([\d.]+), swap ([\d.]+) ms",
        "still": r"lattice step (\d+), then (\d+) fill-in frames in ([\d.]+) ms; the picture (equals|DIFFERS FROM)",
        "ratio": r"ours with the coarse / with the whole mask: ([\d.]+)",
        "viewer": r"the viewer's hybrid frames while the light moves, (\d+) ms budget \((\d+) frames, load average [^)]*\): "
                  r"(\d+) coarse; median frame ([\d.]+) ms \(([\d.]+) fps\), mask ([\d.]+) ms",
    }
    for key, pat in pats.items():
        m = re.search(pat, text)
        if m:
            out[key] = m.groups()
    # The hybrid frame with the whole mask and with the coarse mask, and what is ours.
    stage = (r"preview commands ([\d.]+) \| preview rasterised \(glFinish\) ([\d.]+) \| depth copy ([\d.]+) \| "
             r"mask ([\d.]+) \| upload and overlay ([\d.]+) \| swap ([\d.]+) \| whole ([\d.]+)")
    for key, label in (("hybrid", "whole mask:"), ("moving", "coarse mask:")):
        m = re.search(re.escape(label) + r"\s+" + stage + r"\s+ours \(mask tracing, upload\) ([\d.]+) ms: (\d+)% of the frame", text)
        if m:
            out[key] = m.groups()
    return out


def perf_rows(text, pattern):
    """The rows of a perf report that match pattern: (share in %, the pattern's other groups)."""
    matches = (re.match(pattern, line) for line in text.splitlines())
    return [(float(m.group(1)), *(g.strip() for g in m.groups()[1:])) for m in matches if m]


def parse_profile(text):
    """perf report --sort dso,symbol: (share %, shared object, symbol) from the top."""
    return perf_rows(text, r"^\s+([\d.]+)%\s+(\S+)\s+\[.\]\s+(.*?)(?:\s{2,}.*)?$")


def parse_threads(text):
    """perf report --sort comm: (share %, thread name)."""
    return perf_rows(text, r"^\s+([\d.]+)%\s+(\S+)\s*$")


# Where a function of the traced frame belongs.
PROFILE_GROUPS = [
    ("grid kernels: nearest-hit walk (camera and mirror rays)", r"kernel_\w+::Nearest"),
    ("grid kernels: the exact one-lane triangle test (both walks)", r"kernel_\w+::Test"),
    ("grid kernels: any-hit walk (shadow rays)", r"kernel_\w+::Any"),
    ("ray set-up", r"PrepareRay|SceneRay"),
    ("the scene's walk over the models", r"ClosestHit|ShadowBlocked|BlocksLight"),
    ("offset origins of shadow and mirror rays", r"SurfaceOf|OffsetRayOrigin|ShadowRay|NormalToWorld"),
    ("shading, textures and the sky", r"ShadeWithEye|SampleTexture|SkyColour|WorldSurface|Illuminate|atan|sqrt|sin|cos|LightPoint"),
    ("pixels and the smoothing pass", r"ScreenTracer::|TileTeam|Rectangle"),
    ("grid build and scene assembly", r"Build|Fill|Cover|Overlap|Normal|Load|Import|Read|Triangle"),
    ("software OpenGL (llvmpipe) and the X server", r"^$"),
]


def group_profile(rows):
    groups = {name: 0.0 for name, _ in PROFILE_GROUPS}
    groups["other"] = 0.0
    for share, dso, symbol in rows:
        if not dso.startswith("redowl") and "libm" not in dso:
            groups["software OpenGL (llvmpipe) and the X server" if ("gallium" in dso or "llvm" in dso or "dri" in dso
                                                                   or "GL" in dso or "mesa" in dso) else "other"] += share
            continue
        for name, pat in PROFILE_GROUPS:
            if re.search(pat, symbol):
                groups[name] += share
                break
        else:
            groups["other"] += share
    return groups


def grid_label(label):
    """grid_bench's row names as the page says them."""
    m = re.match(r"^(camera|shadow) grid ([\d.]+|auto)", label)
    if m:
        return f"{m.group(1)} rays, grid factor {m.group(2)}" + (" (the demo's)" if "(demo)" in label else "")
    m = re.match(r"^build (fast|accurate)(?:, (\d+) threads)?", label)
    if m:
        threads = m.group(2) or "1"
        return f"grid build, {'exact' if m.group(1) == 'accurate' else 'fast'}, {threads} thread{'s' if threads != '1' else ''}"
    return label


# ---- plots -----------------------------------------------------------------------------------

def save(fig, ax, path, title, legend=True):
    """The plots' common end: title, grid, legend, written as PNG."""
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    if legend:
        ax.legend(fontsize=8, loc="best")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def plot_threads(frame, path):
    g = frame["gbench"]
    series = [
        ("our_mask_depth", "our shadow mask (from depth)", "C0", "-"),
        ("embree_mask_brute_force", "Embree brute-force mask", "C0", "--"),
        ("our_hybrid_frame_with_gl", "our whole hybrid frame (software GL)", "C2", "-"),
        ("our_full_trace", "our traced frame (viewer's, smoothing)", "C3", "-"),
        ("our_full_trace_one_ray", "our one-ray traced frame", "C1", "-"),
        ("embree_full_trace", "Embree single-ray traced frame", "C1", "--"),
        ("embree_full_trace_packets8", "Embree 8-ray packets traced frame", "C4", "--"),
    ]
    fig, ax = plt.subplots(figsize=(7.5, 4.8), dpi=100)
    drawn = 0
    for key, label, colour, style in series:
        if key not in g:
            continue
        threads = sorted(g[key])
        ax.plot(threads, [g[key][t] for t in threads], style, marker="o", color=colour, label=label)
        drawn += 1
    if not drawn:
        plt.close(fig)
        return False
    ax.set_yscale("log")
    ax.set_xscale("log", base=2)
    ax.set_xticks([1, 2, 4])
    ax.set_xticklabels(["1", "2", "4"])
    ax.set_xlabel("threads (tracer.threads_num)")
    ax.set_ylabel("frames per second (log scale)")
    return save(fig, ax, path, "Frame rates against threads, demo scene at 512 x 512 (frame_bench)")


def plot_ratios(figures, path):
    if not figures:
        return False
    labels = [f[0] for f in figures]
    mid = [f[1] for f in figures]
    low = [min(f[2], f[1]) for f in figures]
    high = [max(f[3], f[1]) for f in figures]
    fig, ax = plt.subplots(figsize=(7.5, 0.42 * len(figures) + 1.4), dpi=100)
    ys = list(range(len(figures)))[::-1]
    colours = ["C2" if m >= 1.0 else "C3" for m in mid]
    ax.barh(ys, mid, color=colours, alpha=0.75)
    ax.errorbar(mid, ys, xerr=[[m - l for m, l in zip(mid, low)], [h - m for m, h in zip(mid, high)]],
                fmt="none", ecolor="black", capsize=3, linewidth=1)
    ax.axvline(1.0, color="black", linewidth=1)
    ax.set_yticks(ys)
    ax.set_yticklabels(labels, fontsize=8)
    ax.set_xscale("log")
    ax.set_xlabel("ours / Embree (log scale; right of 1: ours faster)")
    return save(fig, ax, path, "Our speed against Embree's, figure by figure", legend=False)


def plot_settle(settle, path):
    # A picture of as many samples as the reference is the reference itself (error 0): left out.
    parts = [p for p in settle["parts"] if [r for r in p["rows"] if r[1] > 0]]
    if not parts:
        return False
    fig, ax = plt.subplots(figsize=(6.5, 4.5), dpi=100)
    for p, colour in zip(parts, ["C3", "C0"]):
        rows = [r for r in p["rows"] if r[1] > 0]
        n = [r[0] for r in rows]
        rms = [r[1] for r in rows]
        ax.plot(n, rms, marker="o", color=colour, label=f"{p['name']} ({p['threads']} threads)")
        ax.plot(n, [rms[0] / (k ** 0.5) for k in n], ":", color=colour, linewidth=1,
                label=f"{p['name']}: first error / sqrt(samples)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("samples (passes) of the picture")
    ax.set_ylabel("RMS difference to the reference (grey levels)")
    return save(fig, ax, path, f"The settling picture's error (reference: {parts[0]['reference']} samples)")


def plot_factors(grid, path):
    f = grid["factors"]
    if not f:
        return False
    fig, ax = plt.subplots(figsize=(6.5, 4.5), dpi=100)
    ax.set_xscale("log")
    for (kind, who), colour, style in [(("Camera", "grid"), "C0", "-"), (("Camera", "embree"), "C0", "--"),
                                       (("Shadow", "grid"), "C3", "-"), (("Shadow", "embree"), "C3", "--")]:
        d = f.get((kind, who))
        if not d:
            continue
        xs = sorted(d)
        label = f"{kind.lower()} rays, {'our grid' if who == 'grid' else 'Embree, measured in turns (no grid)'}"
        ax.plot(xs, [d[x] / 1e6 for x in xs], style, marker="o" if who == "grid" else None, color=colour, label=label)
        ax.set_xticks(xs)
        ax.set_xticklabels([f"{x:g}" for x in xs])
        ax.minorticks_off()
    if "demo_factor" in grid:
        ax.axvline(grid["demo_factor"], color="grey", linewidth=1, linestyle=":")
        ax.text(grid["demo_factor"], ax.get_ylim()[1] * 0.97, " demo's factor", fontsize=8, va="top", color="grey")
    ax.set_xlabel("tracer.regular_grid.cub_less_elem_times (cell edges per average triangle edge)")
    ax.set_ylabel("million rays per second, one thread")
    return save(fig, ax, path, "Ray queries on the demo's knot against the grid's resolution")


# ---- the page --------------------------------------------------------------------------------

def git(*args):
    try:
        return subprocess.run(["git", *args], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def machine():
    model = ""
    for line in read("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    flags = read("/proc/cpuinfo")
    isa = [name for name, flag in [("SSE4.2", " sse4_2"), ("AVX2", " avx2"), ("AVX-512", " avx512f")] if flag in flags]
    memory = ""
    m = re.search(r"MemTotal:\s+(\d+) kB", read("/proc/meminfo"))
    if m:
        memory = f"{int(m.group(1)) / 1048576:.0f} GiB"
    return model, os.cpu_count(), memory, isa


def load_of(uptime_line):
    m = re.search(r"load average: ([\d.]+), ([\d.]+), ([\d.]+)", uptime_line)
    return " ".join(m.groups()) if m else "?"


def fmt(x, digits=1):
    return f"{x:,.{digits}f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--raw", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--plots", required=True)
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    raw = a.raw
    r = lambda name: read(os.path.join(raw, name))
    shown_raw = os.path.relpath(os.path.abspath(raw))
    cmd = lambda name: (r(name + ".cmd").strip().replace(os.path.abspath(raw), shown_raw) or "?")

    grid = parse_grid(r("grid_bench.txt"), r("grid_bench.json"))
    frame = parse_frame(r("frame_bench.txt"), r("frame_bench.json"))
    settle = parse_settle(r("settle_bench.txt"))
    budget = parse_budget(r("budget_bench.txt")) if os.path.exists(os.path.join(raw, "budget_bench.txt")) else None
    profile = parse_profile(r("profile.txt"))
    threads = parse_threads(r("profile_threads.txt"))

    os.makedirs(a.plots, exist_ok=True)
    keep = os.path.join(a.plots, "raw")
    shutil.rmtree(keep, ignore_errors=True)
    os.makedirs(keep)
    for name in sorted(os.listdir(raw)):
        if name.endswith((".txt", ".json", ".cmd")) and not name.startswith("perf_record"):
            shutil.copy(os.path.join(raw, name), keep)

    # Ratios per figure: (label, the run's ratio, lowest, highest).
    ratios = []
    for row in grid["rows"]:
        if row["section"] == "query" and "(demo)" not in row["label"]:
            continue
        label = grid_label(row["label"])
        ratios.append((label, row["ours"] / row["peer"] if row["peer"] else 0.0, row["low"], row["high"]))
    for m in frame["mask"]:
        ratios.append((f"shadow mask vs brute force, {m['threads']} thr.", m["ratio"], min(m["ratio"], m["ratio_cpu"]),
                       max(m["ratio"], m["ratio_cpu"])))
    for t in frame["traced"]:
        ratios.append((f"one-ray traced frame, {t['threads']} thr.", t["ratio"], min(t["ratio"], t["ratio_cpu"]),
                       max(t["ratio"], t["ratio_cpu"])))
        ratios.append((f"viewer's traced frame, {t['threads']} thr.", t["viewer_ratio"],
                       min(t["viewer_ratio"], t["viewer_ratio_cpu"]), max(t["viewer_ratio"], t["viewer_ratio_cpu"])))

    plots = {
        "threads": plot_threads(frame, os.path.join(a.plots, "threads.png")),
        "ratios": plot_ratios(ratios, os.path.join(a.plots, "ratios.png")),
        "settle": plot_settle(settle, os.path.join(a.plots, "settling.png")),
        "factors": plot_factors(grid, os.path.join(a.plots, "grid_factor.png")),
    }
    rel = os.path.relpath(a.plots, os.path.dirname(os.path.abspath(a.out)))

    model, cores, memory, isa = machine()
    # The commit bench-report measured (written when it started), else the one checked out now.
    lines = r("commit.txt").splitlines()
    if len(lines) >= 2:
        describe, committed, changed = lines[0], lines[1], "".join(lines[2:]).strip()
    else:
        describe = git("describe", "--always", "--tags")
        committed = git("log", "-1", "--format=%cd", "--date=format:%Y-%m-%d %H:%M")
        changed = git("status", "--porcelain", "--", ".", ":!docs")
    # When the measurements ended (the page may be written again later from the same outputs).
    end = os.path.join(raw, "load_end.txt")
    when = datetime.datetime.fromtimestamp(os.path.getmtime(end), datetime.timezone.utc) if os.path.exists(end) \
        else datetime.datetime.now(datetime.timezone.utc)
    now = when.strftime("%Y-%m-%d %H:%M UTC")
    L = []
    w = L.append
    w("# Red Owl: performance")
    w("")
    w("Made by `scripts/bench-report" + (" --quick" if a.quick else "") + f"` on {now}. Every figure below was printed "
      "by the command named beside it, in this one run; ours and Embree 3's (the peer) were measured in turns, so "
      "that both saw the same load. The programs' own outputs are in [`perf/raw/`](perf/raw/).")
    if a.quick:
        w("")
        w("**A quick run** (`--quick`: one round, short times, a 256-sample reference): for trying the script; the "
          "figures are rougher than a full run's.")
    w("")
    w(f"- **Commit:** `{describe}` (committed {committed})" + (", with uncommitted changes beside it" if changed else ""))
    w(f"- **Machine:** {model}, {cores} cores, {memory}; instruction sets {', '.join(isa) or 'none of SSE4.2/AVX2/AVX-512'}; "
      f"the ray kernels chosen at start-up: {grid['kernels'] or '?'}")
    w(f"- **Load average** (1, 5, 15 minutes): {load_of(r('load_start.txt'))} at the start, "
      f"{load_of(r('load_end.txt'))} at the end. The machine is shared: other programs compete for its cores, so "
      "the ratios (measured in turns) are steadier than the rates, and the rates of processor time (in brackets "
      "where given) steadier than those of wall-clock time.")
    seconds = r("seconds.txt").strip()
    if seconds.isdigit():
        w(f"- **Duration:** the benchmarks and the profile took {int(seconds) / 60:.1f} minutes.")
    w("- **OpenGL:** Mesa's llvmpipe (software, `LIBGL_ALWAYS_SOFTWARE=1`) under a private Xvfb; 512 x 512 unless said.")
    w("")

    # Queries and builds.
    w("## Ray queries and grid builds")
    w("")
    if grid["rows"]:
        w(f"The demo's torus knot ({grid.get('triangles', '?')} triangles): {grid.get('camera_rays', '?')} camera rays "
          f"and {grid.get('shadow_rays', '?')} shadow rays (from the camera rays' hits to the light), one thread; our "
          "grid of the demo's resolution against Embree's BVH (`rtcIntersect1`, `rtcOccluded1`, its build with as many "
          f"threads). Load average {grid['load']} at the summary. Command: `{cmd('grid_bench')}`.")
        w("")
        w("| Figure | Ours | Embree | Ratio, median round | Ratios of the rounds |")
        w("|---|---|---|---|---|")
        for row in grid["rows"]:
            if row["section"] == "query" and "(demo)" not in row["label"]:
                continue
            unit = "triangles/s" if row["section"] == "build" else "rays/s"
            label = grid_label(row["label"])
            w(f"| {label} | {row['ours'] / 1e6:.2f} M {unit} | {row['peer'] / 1e6:.2f} M | "
              f"{row['ours'] / row['peer']:.2f} | {row['low']:.2f}-{row['high']:.2f} |")
        w("")
        if plots["factors"]:
            w(f"![Rays per second against the grid's resolution]({rel}/grid_factor.png)")
            w("")
            w("*The same rays at other grid resolutions (round 1; the demo writes its factor). Finer grids test fewer "
              "triangles per ray and walk more cells; memory per triangle is in the raw output.*")
            w("")
    else:
        w(f"grid_bench printed no summary (see [`perf/raw/grid_bench.err`](perf/raw/)).")
        w("")

    # Frames.
    w("## Frames: the shadow mask, the hybrid frame and the traced image")
    w("")
    if frame["mask"] or frame["traced"]:
        w(f"The demo scene at 512 x 512 with the first frame's light, ours and Embree's frames in turns for 6-8 s each "
          f"(frame_bench's summary, load average {frame['load']}). Embree's mask is brute force (a primary and a shadow "
          "ray for every pixel); its traced frame casts exactly our one-ray frame's rays and shades them with our "
          "shading. Frames per second of wall-clock time, and in brackets of the process's processor time. "
          f"Command: `{cmd('frame_bench')}`.")
        w("")
        w("| Threads | Our mask (from depth) | Embree brute-force mask | Ratio | Whole hybrid frame, software GL |")
        w("|---|---|---|---|---|")
        for m in frame["mask"]:
            w(f"| {m['threads']} | {fmt(m['ours'])} ({fmt(m['ours_cpu'])}) | {fmt(m['peer'])} ({fmt(m['peer_cpu'])}) | "
              f"{m['ratio']:.2f} ({m['ratio_cpu']:.2f}) | {fmt(m['frame'])} ({fmt(m['frame_cpu'])}) |")
        if frame["gl_alone"]:
            w(f"| - | the same hybrid frame without tracing (OpenGL alone): {fmt(frame['gl_alone'][0])} "
              f"({fmt(frame['gl_alone'][1])}) | | | |")
        w("")
        w("| Threads | Our one-ray traced frame | Embree single rays | Ratio | Our viewer's traced frame (smoothing) | Ratio |")
        w("|---|---|---|---|---|---|")
        for t in frame["traced"]:
            w(f"| {t['threads']} | {t['one']:.2f} ({t['one_cpu']:.2f}) | {t['peer']:.2f} ({t['peer_cpu']:.2f}) | "
              f"{t['ratio']:.2f} ({t['ratio_cpu']:.2f}) | {t['viewer']:.2f} ({t['viewer_cpu']:.2f}) | "
              f"{t['viewer_ratio']:.2f} ({t['viewer_ratio_cpu']:.2f}) |")
        w("")
        if frame["depth"]:
            w("The depth read-back at 512 x 512, each format the driver offers (the viewer reads `GL_UNSIGNED_INT`):")
            w("")
            for fmt_name, ms, note in frame["depth"]:
                w(f"- `{fmt_name}`: {ms:.3f} ms{', ' + note if note else ''}")
            w("")
        if plots["threads"]:
            w(f"![Frame rates against threads]({rel}/threads.png)")
            w("")
            g = frame["gbench"]
            gains = []
            for key, name in [("our_mask_depth", "the mask"), ("our_full_trace", "our traced frame"),
                              ("embree_full_trace", "Embree's traced frame"), ("our_hybrid_frame_with_gl", "the hybrid frame")]:
                if key in g and 1 in g[key] and 2 in g[key] and g[key][1] > 0:
                    gains.append(f"{name} {g[key][2] / g[key][1]:.2f}")
            w("*Google Benchmark's part of the same run (each benchmark on its own, at least 1 s; not in turns). Two "
              "threads against one: " + (", ".join(gains) or "not measured") + " times the rate. On a quiet 2-core "
              "machine a second thread nearly doubled the tracing (1.9 to 2.0 times in earlier runs at a load of "
              "1.7); while other programs keep a core busy it gains little, and four threads on two cores add only "
              "switches. The hybrid frame gains least: its OpenGL part "
              "(the preview, the depth read-back, the swap) does not run on the tracer's threads.*")
            w("")
    else:
        w("frame_bench printed no summary (it needs a display; see [`perf/raw/frame_bench.err`](perf/raw/)).")
        w("")

    if ratios and plots["ratios"]:
        w(f"![Our ratio to Embree, figure by figure]({rel}/ratios.png)")
        w("")
        w("*Each figure of the two tables above as ours / Embree's. Green: ours faster. Whiskers: the lowest and "
          "highest round (grid_bench), or wall-clock against processor time (frame_bench).*")
        w("")

    # Budget.
    if budget is not None:
        w("## The frame budget while the view moves")
        w("")
        if "full" in budget and "ours" in budget:
            head = budget.get("head", ("1920", "1080", "?"))
            w(f"The traced image at {head[0]} x {head[1]} ({head[2]} threads) while the light moves 0.01 radians a "
              "frame: frames within the budget and full traces of the same light angles, in turns. "
              f"Command: `{cmd('budget_bench')}`.")
            w("")
            o = budget["ours"]
            w("| Frame | Median | Frames per second | Share of the pixels traced |")
            w("|---|---|---|---|")
            w(f"| Full trace (`tracer.frame_budget_ms = 0`) | {budget['full'][0]} ms | {budget['full'][1]} | 1 |")
            w(f"| Within the {o[0]} ms budget | {o[1]} ms | {o[2]} | {float(o[5]):.4f} |")
            w(f"| Ratio | {o[3]} (1/{o[4]}) | | |")
            w("")
            if "parts" in budget:
                p = budget["parts"]
                w(f"The budget frame's parts (median ms): lattice shading {p[0]}, reconstruction {p[1]}, copy to the "
                  f"window {p[2]}, swap {p[3]}.")
                w("")
            if "still" in budget:
                s = budget["still"]
                w(f"When the view holds still: the lattice of step {s[0]}, then {s[1]} fill-in frames in {s[2]} ms; "
                  f"the picture then **{s[3].lower()}** the full trace's, byte for byte.")
                w("")
            if "hybrid" in budget and "moving" in budget:
                w("The hybrid frame at this size, the whole mask and the coarse mask of every second pixel (a moving "
                  "frame's when the whole would not fit the budget), in turns (median ms):")
                w("")
                w("| Mask | Preview commands | Rasterised (`glFinish`) | Depth copy | Mask | Upload and overlay | Swap | Whole | Ours (mask, upload) |")
                w("|---|---|---|---|---|---|---|---|---|")
                for key, name in (("hybrid", "whole"), ("moving", "coarse")):
                    h = budget[key]
                    w(f"| {name} | {h[0]} | {h[1]} | {h[2]} | {h[3]} | {h[4]} | {h[5]} | {h[6]} | {h[7]} ms, {h[8]}% |")
                w("")
                if "ratio" in budget:
                    w(f"Ours with the coarse / with the whole mask: {budget['ratio'][0]}.")
                    w("")
            if "viewer" in budget:
                v = budget["viewer"]
                w(f"The viewer's own hybrid frames while the light moves, {v[0]} ms budget: {v[2]} of {v[1]} frames "
                  f"coarse; median frame {v[3]} ms ({v[4]} fps), mask {v[5]} ms.")
                w("")
        else:
            w("budget_bench printed no figures; its output is in [`perf/raw/budget_bench.txt`](perf/raw/).")
            w("")

    # Settling.
    w("## The settling picture")
    w("")
    if settle["parts"]:
        w("The demo at 512 x 512, light held at angle 1 (light radius 0.3, the traced sky): the root-mean-square "
          "difference of the shown picture to a reference of many more samples, after 1, 16, 64 and 256 samples, "
          f"and the seconds each took to reach (load average {settle['load']}). Command: `{cmd('settle_bench')}`.")
        w("")
        w("| Picture | Samples | RMS to the reference (grey levels) | RMS x sqrt(samples) | Seconds |")
        w("|---|---|---|---|---|")
        for p in settle["parts"]:
            for k, (n, rms, scaled, seconds) in enumerate(p["rows"]):
                name = f"{p['name']} ({p['threads']} threads; reference {p['reference']} samples in {p['reference_s']:.0f} s)"
                same = " (the reference itself)" if n >= p["reference"] else ""
                w(f"| {name if k == 0 else ''} | {n}{same} | {rms:.3f} | {scaled:.2f} | {seconds:.2f} |")
        w("")
        m = re.match(r'viewer at rest \("(.*)", ([\d.]+) s after .p.\): ([\d.]+) s of processor time in ([\d.]+) s = ([\d.]+)% of one core', settle["rest"])
        if m:
            w(f"The real viewer on the demo, its light stopped with `p`: its title said \"{m.group(1)}\" {m.group(2)} s "
              f"later, and then it used {m.group(3)} s of processor time in {m.group(4)} s ({m.group(5)}% of one core).")
            w("")
        elif settle["rest"]:
            w(f"`{settle['rest']}`")
            w("")
        if plots["settle"]:
            w(f"![The settling picture's error against passes]({rel}/settling.png)")
            w("")
            w("*Dotted: the one-sample error divided by sqrt(samples), the rate of independent random samples; a "
              "curve below its line converges faster. The last point is measured against a reference only a few times "
              "longer, whose own noise it includes. A picture is done after `tracer.max_samples` (256) samples or when "
              "a pass changes no pixel by more than half a grey level.*")
            w("")
    else:
        w("settle_bench printed no figures (see [`perf/raw/settle_bench.txt`](perf/raw/)).")
        w("")

    # Profile.
    w("## Where the traced frame's time goes")
    w("")
    if profile:
        w(f"`{cmd('profile')}` in the demo's folder (timer samples: this machine has no hardware counters), by each "
          "function's own time over the whole process, scene assembly included. By thread: "
          + ", ".join(f"{name} {share:.1f}%" for share, name in threads[:4]) + ".")
        w("")
        groups = group_profile(profile)
        w("| Part | Share of the samples |")
        w("|---|---|")
        for name, share in sorted(groups.items(), key=lambda kv: -kv[1]):
            if share >= 0.05:
                w(f"| {name} | {share:.1f}% |")
        w(f"| (functions under 0.5% each) | {max(0.0, 100.0 - sum(groups.values())):.1f}% |")
        w("")
        w("<details><summary>The functions above 0.5%</summary>")
        w("")
        w("| Share | Object | Function |")
        w("|---|---|---|")
        for share, dso, symbol in profile:
            w(f"| {share:.2f}% | {dso} | `{symbol}` |")
        w("")
        w("</details>")
        w("")
    else:
        w("perf could not record on this machine in this run. The last profile, for comparison: `perf record -e "
          "cpu-clock` over 15 traced frames of `redowl-snapshot --mode traced --light-angle 1`, by the functions' "
          "own time: the kernels' nearest-hit walk 24.6% and any-hit walk 15.4%, the exact one-lane decision 5.8%, "
          "the ray set-up 3.4%; the scene's walk over the models 10.0% and `ShadowBlocked` 2.2%; the offset origins "
          "of shadow and mirror rays 12.4%; shading 12.2% (an Intel Xeon with AVX-512, load average 10 to 12).")
        w("")

    w("## Reading these figures")
    w("")
    if profile:
        groups = group_profile(profile)
        kernels = sum(v for k, v in groups.items() if k.startswith("grid kernels"))
        w(f"- The grid kernels (walks and triangle tests) took {kernels:.0f}% of the traced frame's samples, the scene's "
          f"walk over the models {groups['the scene' + chr(39) + 's walk over the models']:.0f}%, the offset origins "
          f"{groups['offset origins of shadow and mirror rays']:.0f}% and shading "
          f"{groups['shading, textures and the sky']:.0f}%. A grid walks every cell between a ray's origin and its "
          "hit, where a tree skips whole subtrees.")
    if frame["mask"] and frame["gl_alone"]:
        m1 = frame["mask"][0]
        w(f"- With one thread the whole hybrid frame ran at {m1['frame']:.1f} fps and the same frame without tracing at "
          f"{frame['gl_alone'][0]:.1f} fps: with software OpenGL a large part of the frame is OpenGL's. The mask's "
          "adaptive lattice traces a few per cent of the pixels, hence its ratio to the brute-force mask.")
    w("- How the code is laid out and why: [design.md](design.md).")
    w("")
    with open(a.out, "w", encoding="utf-8") as f:
        f.write("\n".join(L))
    for name, made in plots.items():
        print(f"bench-report: plot {name}: {'written' if made else 'no data'}")


if __name__ == "__main__":
    main()
