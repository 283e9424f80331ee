"""Benchmark driver behind bench/compare.sh: makes the inputs, runs every
tool on every job interleaved, and prints medians, ratios and peak memory.
Only the standard library is used; Pillow runs in its own process."""
import argparse
import os
import platform
import statistics
import subprocess
import sys
import time

TEXT = "(c) 2026 Velmora"
HERE = os.path.dirname(os.path.abspath(__file__))
CONVERT = "/usr/bin/convert"  # ImageMagick's own, not a wrapper earlier on PATH
VIPS_CLI = "/usr/bin/vips"
VIPS = "libvips, one process"
VIPS_COMPOSITE = "libvips, composite2 only"


def run_measured(argv):
    """Runs argv; returns (seconds, peak resident MiB over the process tree)."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (proc.returncode, " ".join(argv), err))
    return seconds, usage.ru_maxrss / 1024.0


def vips_target(path):
    """A vips command-line output name with the JPEG quality the others use."""
    return path + "[Q=92]" if path.endswith(".jpg") else path


def jobs(cli, out, font, vips_mark):
    """Per job: its input, and each tool's command writing to a given output."""
    jpg, png, logo = (os.path.join(out, n) for n in ("photo.jpg", "photo.png", "logo.png"))
    py = [sys.executable, os.path.join(HERE, "pillow_mark.py")]
    im_text = ["-font", font, "-pointsize", "48", "-gravity", "southeast"]
    tile = ["(", "-background", "none", "-fill", "rgba(255,255,255,0.4)", "-font", font, "-pointsize", "48",
            "label:" + TEXT, "-bordercolor", "none", "-border", "20", "-rotate", "-30",
            "-write", "mpr:tile", "+delete", ")",
            "(", "+clone", "-tile", "mpr:tile", "-draw", "color 0,0 reset", ")", "-composite"]
    ours_text = [cli, "text", "--text", TEXT, "--size", "48"]
    table = [
        ("12 MP JPEG, corner text", jpg, "corner-text", font, {
            "this library": lambda o: ours_text + ["--in", jpg, "--out", o, "--opacity", "0.8", "--position", "bottom-right"],
            "ImageMagick": lambda o: [CONVERT, jpg] + im_text + ["-fill", "rgba(255,255,255,0.8)", "-annotate", "+20+20", TEXT, "-quality", "92", o],
            "Pillow": lambda o: py + ["corner-text", jpg, o, font],
        }),
        ("12 MP JPEG, tiled text at 30 degrees", jpg, "tiled-text", font, {
            "this library": lambda o: ours_text + ["--in", jpg, "--out", o, "--opacity", "0.4", "--angle", "30", "--position", "tile"],
            "ImageMagick": lambda o: [CONVERT, jpg] + tile + ["-quality", "92", o],
            "Pillow": lambda o: py + ["tiled-text", jpg, o, font],
        }),
        ("12 MP PNG, corner text", png, "corner-text", font, {
            "this library": lambda o: ours_text + ["--in", png, "--out", o, "--opacity", "0.8", "--position", "bottom-right"],
            "ImageMagick": lambda o: [CONVERT, png] + im_text + ["-fill", "rgba(255,255,255,0.8)", "-annotate", "+20+20", TEXT, o],
            "Pillow": lambda o: py + ["corner-text", png, o, font],
        }),
        ("12 MP JPEG, logo scaled 2.5x", jpg, "logo", logo, {
            "this library": lambda o: [cli, "image", "--in", jpg, "--out", o, "--mark", logo, "--position", "bottom-right", "--scale", "2.5"],
            "ImageMagick": lambda o: [CONVERT, jpg, "(", logo, "-resize", "250%", ")", "-gravity", "southeast", "-geometry", "+20+20", "-composite", "-quality", "92", o],
            "Pillow": lambda o: py + ["logo", jpg, o, logo],
        }),
    ]
    result = []
    for number, (name, src, vips_job, extra, tools) in enumerate(table):
        # libvips as its users call it: one program, load to save in one
        # pipeline (bench/vips_mark.c).
        tools[VIPS] = lambda o, j=vips_job, s=src, e=extra: [vips_mark, j, s, o, e]
        # Only the composite and save: the overlay is rendered beforehand
        # by the same program, untimed.
        overlay = os.path.join(out, "overlay-%d.v" % number)
        place = subprocess.run([vips_mark, "--overlay", vips_job, src, overlay, extra],
                               check=True, capture_output=True, text=True).stdout.split()
        tools[VIPS_COMPOSITE] = lambda o, s=src, v=overlay, p=place: [
            VIPS_CLI, "composite2", s, v, vips_target(o), "over", "--x", p[0], "--y", p[1]]
        result.append((name, os.path.splitext(src)[1], tools))
    return result


def make_inputs(build, out):
    os.makedirs(out, exist_ok=True)
    cli = os.path.join(build, "tools", "imgwatermark")
    bmp, tga = os.path.join(out, "photo.bmp"), os.path.join(out, "logo.tga")
    subprocess.run([os.path.join(build, "tools", "make_sample"), bmp, tga, "4000", "3000"], check=True)
    # The library itself writes the inputs (a mark of opacity 0 changes nothing).
    for src, dst in ((bmp, "photo.jpg"), (bmp, "photo.png"), (tga, "logo.png")):
        subprocess.run([cli, "text", "--in", src, "--out", os.path.join(out, dst), "--text", "-", "--opacity", "0"],
                       check=True, stdout=subprocess.DEVNULL)
    return cli


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return "%s, %d cores" % (cpu, os.cpu_count())


def print_table(table, times, runs):
    """One markdown table: a row per job, a column per tool; each cell the
    median time, the ratio this library / tool, and the highest peak RSS."""
    tools = list(table[0][2])
    print("%s; %s; median of %d interleaved runs; (ratio) = this library's time / the tool's; "
          "peak RSS of the process" % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), machine(), runs))
    print()
    print("| job | " + " | ".join(tools) + " |")
    print("| --- |" + " --- |" * len(tools))
    for name, _, _ in table:
        ours = statistics.median(times[(name, "this library")][0])
        cells = []
        for tool in tools:
            secs, mems = times[(name, tool)]
            t = statistics.median(secs)
            ratio = "" if tool == "this library" else " (%.2f)" % (ours / t)
            cells.append("%.2f s%s, %.0f MiB" % (t, ratio, max(mems)))
        print("| %s | %s |" % (name, " | ".join(cells)))
    print()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--build", default="build")
    ap.add_argument("--out", default="build/bench")
    ap.add_argument("--font", required=True)
    ap.add_argument("--vips-mark", default="build/bench/vips_mark")
    args = ap.parse_args()
    cli = make_inputs(args.build, args.out)

    table = jobs(cli, args.out, args.font, args.vips_mark)
    times = {}
    for _ in range(args.runs):
        for name, ext, tools in table:
            for tool, command in tools.items():
                slug = "".join(c if c.isalnum() else "-" for c in tool.lower())
                seconds, mib = run_measured(command(os.path.join(args.out, "out-%s%s" % (slug, ext))))
                entry = times.setdefault((name, tool), ([], []))
                entry[0].append(seconds)
                entry[1].append(mib)
    print_table(table, times, args.runs)
    sys.stdout.flush()
    subprocess.run([os.path.join(args.build, "tools", "imgwatermark_bench"),
                    os.path.join(args.out, "photo.jpg"), os.path.join(args.out, "photo.png")], check=True)


if __name__ == "__main__":
    main()
