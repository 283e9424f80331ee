"""Test of examples/python/dask_batch.py on a local Dask cluster of two
worker processes, over a small tree: nested folders, JPEG, PNG and BMP
pictures (one with an upper-case extension), files it must leave alone and
one broken picture alone in its folder.

Run by cmake/stage-python.sh, with an interpreter that imports
velmora_imgwatermark (the installed wheel) and dask.distributed, and:
  IMGWATERMARK_CLI          the command-line host, the reference for every output and message
  IMGWATERMARK_MAKE_SAMPLE  the sample maker
  IMGWATERMARK_TEST_DIR     a scratch directory
"""

import csv
import os
import pathlib
import shutil
import subprocess
import sys
import unittest

SOURCE = pathlib.Path(__file__).resolve().parent.parent.parent
EXAMPLE = SOURCE / "examples" / "python" / "dask_batch.py"
sys.path.insert(0, str(EXAMPLE.parent))

import dask_batch  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

CLI = os.environ["IMGWATERMARK_CLI"]
MAKE_SAMPLE = os.environ["IMGWATERMARK_MAKE_SAMPLE"]
SCRATCH = pathlib.Path(os.environ["IMGWATERMARK_TEST_DIR"]).resolve()

TEXT = "(c) Velmora\\nproof"
OPTIONS = ["--size", "24", "--opacity", "0.6", "--angle", "15", "--position", "bottom-right", "--color", "255,200,0"]
GOOD = ["Photo Two.BMP", "logos/deep/er/photo.jpeg", "logos/deep/er/photo.png", "logos/logo.png", "photo.jpg"]
BROKEN = "broken/not a picture.png"
LEFT_ALONE = ["notes.txt", "logos/logo.tga"]


def cli(*args):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True)


def files_under(root):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file())


def folders_under(root):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_dir())


class DaskBatchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = SCRATCH / "dask"
        shutil.rmtree(cls.work, ignore_errors=True)
        tree = cls.work / "in"
        (tree / "logos" / "deep" / "er").mkdir(parents=True)
        (tree / "broken").mkdir()
        photo, logo = cls.work / "photo.bmp", cls.work / "logo.tga"
        subprocess.run([MAKE_SAMPLE, str(photo), str(logo)], check=True, stdout=subprocess.DEVNULL)
        shutil.copy(photo, tree / "Photo Two.BMP")
        shutil.copy(logo, tree / "logos" / "logo.tga")
        for source, rel in [(photo, "photo.jpg"), (logo, "logos/logo.png"), (photo, "logos/deep/er/photo.png"),
                            (photo, "logos/deep/er/photo.jpeg")]:
            done = cli("text", "--in", source, "--out", tree / rel, "--text", "x", "--opacity", 0)
            assert done.returncode == 0, done.stderr
        (tree / BROKEN).write_bytes(b"not a picture\n")
        (tree / "notes.txt").write_text("not a picture either\n")
        assert files_under(tree) == sorted(GOOD + [BROKEN] + LEFT_ALONE), files_under(tree)
        cls.tree = tree

        # The C host's outputs and message for the same files and arguments.
        cls.reference = cls.work / "reference"
        for rel in GOOD:
            (cls.reference / rel).parent.mkdir(parents=True, exist_ok=True)
            done = cli("text", "--in", tree / rel, "--out", cls.reference / rel, "--text", TEXT, *OPTIONS)
            assert done.returncode == 0, done.stderr
        (cls.reference / "broken").mkdir()
        done = cli("text", "--in", tree / BROKEN, "--out", cls.reference / BROKEN, "--text", TEXT, *OPTIONS)
        assert done.returncode == 1 and done.stderr.startswith("imgwatermark: "), done.stderr
        cls.broken_message = done.stderr[len("imgwatermark: "):].rstrip("\n")

        cls.cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)

    @classmethod
    def tearDownClass(cls):
        cls.cluster.close()

    def check_run(self, out, report):
        self.assertEqual(files_under(out), sorted(GOOD))
        self.assertEqual(folders_under(out), ["logos", "logos/deep", "logos/deep/er"])
        for rel in GOOD:
            with self.subTest(file=rel):
                self.assertEqual((out / rel).read_bytes(), (self.reference / rel).read_bytes(),
                                 "%s differs from the C host's output" % rel)
        with open(report, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows, [["file", "message"], [BROKEN, self.broken_message]])

    def test_on_a_running_scheduler(self):
        out, report = self.work / "out scheduler", self.work / "report scheduler.csv"
        status = dask_batch.main([str(self.tree), str(out), TEXT, str(report),
                                  "--scheduler", self.cluster.scheduler_address, *OPTIONS])
        self.assertEqual(status, 1)
        self.check_run(out, report)
        self.assertEqual(self.broken_message, "cannot decode image %s (unknown image type)" % (self.tree / BROKEN))
        # Each worker loaded the binding once, however many tasks it ran.
        with Client(self.cluster) as client:
            counts = client.run(dask_batch.worker_counts)
        self.assertEqual(len(counts), 2)
        self.assertEqual(sum(tasks for _, tasks in counts.values()), len(GOOD) + 1)
        for worker, (loads, tasks) in counts.items():
            self.assertEqual(loads, 1 if tasks else 0, "%s: %d loads for %d tasks" % (worker, loads, tasks))

    def test_as_a_program_with_its_own_local_cluster(self):
        out, report = self.work / "out local", self.work / "report local.csv"
        done = subprocess.run([sys.executable, str(EXAMPLE), str(self.tree), str(out), TEXT, str(report),
                               "--workers", "2", *OPTIONS], capture_output=True, text=True, cwd=str(self.work))
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("marked 5 of 6 files; 1 failed", done.stdout)
        self.check_run(out, report)

    def test_all_marked_is_success(self):
        clean = self.work / "in clean"
        shutil.copytree(self.tree / "logos", clean)
        out, report = self.work / "out clean", self.work / "report clean.csv"
        status = dask_batch.main([str(clean), str(out), TEXT, str(report),
                                  "--scheduler", self.cluster.scheduler_address, *OPTIONS])
        self.assertEqual(status, 0)
        self.assertEqual(files_under(out), ["deep/er/photo.jpeg", "deep/er/photo.png", "logo.png"])
        with open(report, newline="", encoding="utf-8") as f:
            self.assertEqual(list(csv.reader(f)), [["file", "message"]])


if __name__ == "__main__":
    unittest.main()
