"""Marks every picture of a directory tree with Dask's distributed scheduler.

  dask_batch.py INPUT_DIR OUTPUT_DIR TEXT REPORT.csv [--scheduler ADDRESS | --workers N]
                [--size N] [--opacity F] [--angle DEG] [--position P] [--color R,G,B]

Every .jpg, .jpeg, .png and .bmp file (any letter case) under INPUT_DIR,
however deep, is one task: a worker marks it with velmora_imgwatermark.text
and writes it under the same relative path into OUTPUT_DIR, in the format its
name gives. TEXT and the options mean what they mean to the command-line host
(`imgwatermark text`, "\\n" starts a line), so a file comes out byte for byte
as `imgwatermark text --in IN --out OUT --text TEXT ...` writes it. Each
failure is a row of REPORT.csv (columns file, message: the path under
INPUT_DIR and the library's own message); a folder of OUTPUT_DIR that only
failed files would have filled is not left behind.

Without --scheduler a LocalCluster of N worker processes (one thread each)
runs here. With --scheduler tcp://host:8786 the tasks go to a running cluster
(`dask scheduler` on one machine, `dask worker tcp://host:8786` on each of the
others); every worker needs the velmora_imgwatermark package installed and must
see INPUT_DIR and OUTPUT_DIR at the same paths as this client (a shared
filesystem). This file is sent to the workers (Client.upload_file), so it need
not be installed there.

Exit status 0 when every file was marked, 1 when some failed (the report says
which), 2 on bad arguments.
"""

import argparse
import csv
import importlib
import os
import pathlib
import sys
import threading

EXTENSIONS = (".jpg", ".jpeg", ".png", ".bmp")
POSITIONS = ("center", "top-left", "top-right", "bottom-left", "bottom-right", "tile")

# Per worker process: the binding, imported (and the native module opened) by
# the first task that needs it and kept for the process's later tasks. The
# library's error text is one buffer per process, so calls in one process
# take turns: a failure's message is read before another call can replace it.
_binding = None
_binding_loads = 0
_tasks_run = 0
_lock = threading.Lock()


def binding():
    """The velmora_imgwatermark module, loaded once per process."""
    global _binding, _binding_loads
    if _binding is None:
        import velmora_imgwatermark
        velmora_imgwatermark.init()
        _binding = velmora_imgwatermark
        _binding_loads += 1
    return _binding


def worker_counts():
    """(times this process loaded the binding, tasks it ran): for checking
    that workers keep the module between tasks."""
    return _binding_loads, _tasks_run


def mark_one(input_path, output_path, text, font_size, opacity, angle, position, color):
    """One task: marks input_path into output_path. Returns None on success,
    else the library's message."""
    global _tasks_run
    with _lock:
        _tasks_run += 1
        wm = binding()
        try:
            wm.text(input_path, output_path, text, font_size=font_size, opacity=opacity, angle=angle,
                    position=position, color=color)
        except wm.ImgWatermarkError as failure:
            return failure.message
    return None


def find_pictures(input_dir):
    """Paths under input_dir (relative, sorted) of the files the tasks mark."""
    found = []
    for folder, dirs, files in os.walk(input_dir):
        dirs.sort()
        for name in sorted(files):
            if name.lower().endswith(EXTENSIONS):
                found.append(os.path.relpath(os.path.join(folder, name), input_dir))
    return found


def mark_tree(client, input_dir, output_dir, text, font_size=32, opacity=1.0, angle=0.0, position=0,
              color=(255, 255, 255)):
    """Marks every picture under input_dir through client, one task per file.
    Returns [(relative path, message)] of the failures, in path order."""
    pictures = find_pictures(input_dir)
    # Output folders are made before the tasks (the library writes into an
    # existing folder) and those left empty are removed afterwards.
    folders = sorted({os.path.dirname(os.path.join(output_dir, p)) for p in pictures})
    made = [f for f in folders if not os.path.isdir(f)]
    for folder in folders:
        os.makedirs(folder, exist_ok=True)
    futures = [client.submit(mark_one, os.path.join(input_dir, p), os.path.join(output_dir, p), text,
                             font_size, opacity, angle, position, color, key="mark-%d-%s" % (i, p), pure=False)
               for i, p in enumerate(pictures)]
    messages = client.gather(futures)
    for folder in sorted(made, key=len, reverse=True):
        while folder != output_dir and os.path.isdir(folder) and not os.listdir(folder):
            os.rmdir(folder)
            folder = os.path.dirname(folder)
    return [(p, m) for p, m in zip(pictures, messages) if m is not None]


def write_report(path, failures):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["file", "message"])
        writer.writerows(failures)


def task_module():
    """This file as an importable module rather than __main__: tasks then
    refer to its functions by name, and each worker runs the copy uploaded
    to it, whose per-process state lasts from one task to the next."""
    if __name__ != "__main__":
        return sys.modules[__name__]
    here = str(pathlib.Path(__file__).resolve().parent)
    if here not in sys.path:
        sys.path.insert(0, here)
    return importlib.import_module(pathlib.Path(__file__).stem)


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Marks a directory tree with Dask's distributed scheduler.")
    parser.add_argument("input_dir")
    parser.add_argument("output_dir")
    parser.add_argument("text", help='the watermark text; "\\n" starts a new line')
    parser.add_argument("report", help="CSV file listing every failure with the library's message")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://host:8786")
    where.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="worker processes of the local cluster (default: one per CPU)")
    parser.add_argument("--size", type=int, default=32)
    parser.add_argument("--opacity", type=float, default=1.0)
    parser.add_argument("--angle", type=float, default=0.0)
    parser.add_argument("--position", choices=POSITIONS, default="center")
    parser.add_argument("--color", default="255,255,255", help="R,G,B")
    args = parser.parse_args(argv)
    try:
        args.color = tuple(int(c) for c in args.color.split(","))
        if len(args.color) != 3:
            raise ValueError
    except ValueError:
        parser.error("--color takes R,G,B")
    if not os.path.isdir(args.input_dir):
        parser.error("no such directory: %s" % args.input_dir)
    if args.workers < 1:
        parser.error("--workers takes a number above 0")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    from dask.distributed import Client, LocalCluster

    text = args.text.replace("\\n", "\n")
    output_dir = os.path.abspath(args.output_dir)
    os.makedirs(output_dir, exist_ok=True)
    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        client.upload_file(str(pathlib.Path(__file__).resolve()))
        failures = task_module().mark_tree(client, os.path.abspath(args.input_dir), output_dir, text, args.size,
                             args.opacity, args.angle, POSITIONS.index(args.position), args.color)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    write_report(args.report, failures)
    total = len(find_pictures(os.path.abspath(args.input_dir)))
    print("marked %d of %d files; %d failed (report: %s)" % (total - len(failures), total, len(failures),
                                                             args.report))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
