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


def jobs(cli, out, font):
    """Per job: its input, and each tool's command writing to a given output."""
    jpg, png, logo = (os.path.join(out, n) for n in ("photo.jpg", "photo.png", "logo.png"))
    py = [sys.executable, os.path.join(HERE, "pillow_mark.py")]
    vips = ["bash", os.path.join(HERE, "vips_mark.sh")]
    im_text = ["-font", font, "-pointsize", "48", "-gravity", "southeast"]
    tile = ["(", "-background", "none", "-fill", "rgba(255,255,255,0.4)", "-font", font, "-pointsize", "48",
            "label:" + TEXT, "-bordercolor", "none", "-border", "20", "-rotate", "-30",
            "-write", "mpr:tile", "+delete", ")",
            "(", "+clone", "-tile", "mpr:tile", "-draw", "color 0,0 reset", ")", "-composite"]
    ours_text = [cli, "text", "--text", TEXT, "--size", "48"]
    return [
        ("12 MP JPEG, corner text", ".jpg", {
            "this library": lambda o: ours_text + ["--in", jpg, "--out", o, "--opacity", "0.8", "--position", "bottom-right"],
            "ImageMagick": lambda o: [CONVERT, jpg] + im_text + ["-fill", "rgba(255,255,255,0.8)", "-annotate", "+20+20", TEXT, "-quality", "92", o],
            "Pillow": lambda o: py + ["corner-text", jpg, o, font],
            "libvips": lambda o: vips + ["corner-text", jpg, o, font],
        }),
        ("12 MP JPEG, tiled text at 30 degrees", ".jpg", {
            "this library": lambda o: ours_text + ["--in", jpg, "--out", o, "--opacity", "0.4", "--angle", "30", "--position", "tile"],
            "ImageMagick": lambda o: [CONVERT, jpg] + tile + ["-quality", "92", o],
            "Pillow": lambda o: py + ["tiled-text", jpg, o, font],
            "libvips": lambda o: vips + ["tiled-text", jpg, o, font],
        }),
        ("12 MP PNG, corner text", ".png", {
            "this library": lambda o: ours_text + ["--in", png, "--out", o, "--opacity", "0.8", "--position", "bottom-right"],
            "ImageMagick": lambda o: [CONVERT, png] + im_text + ["-fill", "rgba(255,255,255,0.8)", "-annotate", "+20+20", TEXT, o],
            "Pillow": lambda o: py + ["corner-text", png, o, font],
            "libvips": lambda o: vips + ["corner-text", png, o, font],
        }),
        ("12 MP JPEG, logo scaled 2.5x", ".jpg", {
            "this library": lambda o: [cli, "image", "--in", jpg, "--out", o, "--mark", logo, "--position", "bottom-right", "--scale", "2.5"],
            "ImageMagick": lambda o: [CONVERT, jpg, "(", logo, "-resize", "250%", ")", "-gravity", "southeast", "-geometry", "+20+20", "-composite", "-quality", "92", o],
            "Pillow": lambda o: py + ["logo", jpg, o, logo],
            "libvips": lambda o: vips + ["logo", jpg, o, logo],
        }),
    ]


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--build", default="build")
    ap.add_argument("--out", default="build/bench")
    ap.add_argument("--font", required=True)
    args = ap.parse_args()
    cli = make_inputs(args.build, args.out)

    table = jobs(cli, args.out, args.font)
    times, sizes = {}, {}
    for r in range(args.runs):
        for name, ext, tools in table:
            for tool, command in tools.items():
                output = os.path.join(args.out, "out-%s%s" % (tool.split()[0].lower(), ext))
                seconds, mib = run_measured(command(output))
                entry = times.setdefault((name, tool), ([], []))
                entry[0].append(seconds)
                entry[1].append(mib)
                sizes[(name, tool)] = os.path.getsize(output) / 1e6

    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    print("machine: %s, %d cores; median of %d interleaved runs; ratio = this library / tool"
          % (cpu, os.cpu_count(), args.runs))
    print()
    print("| job | tool | median time | ratio | peak memory | output |")
    print("| --- | --- | --- | --- | --- | --- |")
    for name, _, tools in table:
        ours = statistics.median(times[(name, "this library")][0])
        for tool in tools:
            secs, mems = times[(name, tool)]
            t = statistics.median(secs)
            ratio = "-" if tool == "this library" else "%.2f" % (ours / t)
            print("| %s | %s | %.3f s | %s | %.0f MiB | %.1f MB |" % (name, tool, t, ratio, max(mems), sizes[(name, tool)]))
    print()
    sys.stdout.flush()
    subprocess.run([os.path.join(args.build, "tools", "imgwatermark_bench"),
                    os.path.join(args.out, "photo.jpg"), os.path.join(args.out, "photo.png")], check=True)


if __name__ == "__main__":
    main()
