"""Tests of the binding (bindings/python/velmora_imgwatermark/) against the built module.

Run by CTest with:
  VELMORA_IMGWATERMARK_LIBRARY  the module to test
  IMGWATERMARK_CLI              the command-line host (the same calls through C)
  IMGWATERMARK_MAKE_SAMPLE      the sample maker (a 640 x 400 photo, a 160 x 160 logo)
  IMGWATERMARK_TEST_DIR         a scratch directory
or, to test an installed wheel, with IMGWATERMARK_TEST_INSTALLED_IN naming the
environment (a venv) the package was installed into and without
VELMORA_IMGWATERMARK_LIBRARY: the package and its module are then imported
from there, never from the source tree.
Outputs are compared byte for byte with the host's and decoded (BMP and PNG
readers below) to check which pixels the mark changed.
"""

import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = pathlib.Path(__file__).resolve().parent
INSTALLED_IN = os.environ.get("IMGWATERMARK_TEST_INSTALLED_IN")
if not INSTALLED_IN:
    sys.path.insert(0, str(HERE.parent))

import velmora_imgwatermark as wm  # noqa: E402

CLI = os.environ["IMGWATERMARK_CLI"]
MAKE_SAMPLE = os.environ["IMGWATERMARK_MAKE_SAMPLE"]
SCRATCH = pathlib.Path(os.environ["IMGWATERMARK_TEST_DIR"])
# The module under test: the one named by the variable, or an installed
# package's own.
MODULE = wm.library_path if INSTALLED_IN else os.environ[wm.LIBRARY_ENV]
PACKAGE_DIR = pathlib.Path(wm.__file__).resolve().parent
# Where child interpreters start: a directory they import the package under
# test from (the source tree, or one where only the installed package is found).
IMPORT_DIR = SCRATCH if INSTALLED_IN else HERE.parent


def copy_package(where, with_module):
    """A copy of the package's code (and, when asked, the module beside it)
    in where/velmora_imgwatermark; returns the module's path there."""
    package = pathlib.Path(where) / "velmora_imgwatermark"
    package.mkdir()
    shutil.copy(PACKAGE_DIR / "__init__.py", package)
    module = package / "libvelmora-imgwatermark.so"
    if with_module:
        shutil.copy(MODULE, module)
    return str(module)


def read_bmp(path):
    """(width, height, RGBA bytes) of a 24-bit or 32-bit (BGRA) BMP."""
    data = pathlib.Path(path).read_bytes()
    if data[:2] != b"BM":
        raise ValueError("%s: not a BMP" % path)
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bpp = struct.unpack_from("<iiHH", data, 18)
    if bpp not in (24, 32):
        raise ValueError("%s: %d bits per pixel" % (path, bpp))
    bottom_up = height > 0
    height = abs(height)
    step = bpp // 8
    stride = (width * step + 3) & ~3
    out = bytearray()
    for y in range(height):
        row = offset + (height - 1 - y if bottom_up else y) * stride
        for x in range(width):
            b, g, r = data[row + x * step:row + x * step + 3]
            a = data[row + x * step + 3] if step == 4 else 255
            out += bytes((r, g, b, a))
    return width, height, bytes(out)


def read_png(path):
    """(width, height, RGBA bytes) of an 8-bit RGB or RGBA, non-interlaced PNG."""
    data = pathlib.Path(path).read_bytes()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s: not a PNG" % path)
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError("%s: unsupported PNG layout" % path)
    bpp = 4 if colour == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * bpp
    prev = bytearray(stride)
    out = bytearray()
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        for x in range(width):
            px = line[x * bpp:x * bpp + bpp]
            out += px if bpp == 4 else px + b"\xff"
        prev = line
    return width, height, bytes(out)


def read_picture(path):
    return read_png(path) if str(path).lower().endswith(".png") else read_bmp(path)


def changes(before, after, box):
    """Pixels that differ between two decoded pictures, (inside box, outside).
    box is (x0, y0, x1, y1), half-open."""
    (w, h, a), (w2, h2, b) = before, after
    if (w, h) != (w2, h2):
        raise AssertionError("sizes differ: %dx%d and %dx%d" % (w, h, w2, h2))
    x0, y0, x1, y1 = box
    inside = outside = 0
    for i in range(w * h):
        if a[i * 4:i * 4 + 4] != b[i * 4:i * 4 + 4]:
            x, y = i % w, i // w
            if x0 <= x < x1 and y0 <= y < y1:
                inside += 1
            else:
                outside += 1
    return inside, outside


def cli(*args):
    subprocess.run([CLI, *map(str, args)], check=True, stdout=subprocess.DEVNULL)


class Case(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = SCRATCH / ("python " + cls.__name__)
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.work.mkdir(parents=True)
        cls.photo = cls.work / "photo in.bmp"
        cls.logo = cls.work / "logo in.tga"
        subprocess.run([MAKE_SAMPLE, str(cls.photo), str(cls.logo)], check=True, stdout=subprocess.DEVNULL)

    def assertFails(self, message, call, *args, **kwargs):
        with self.assertRaises(wm.ImgWatermarkError) as caught:
            call(*args, **kwargs)
        self.assertEqual(caught.exception.message, message)
        self.assertEqual(str(caught.exception), message)
        self.assertEqual(wm.last_error(), message)

    def assertSameFile(self, a, b):
        self.assertEqual(pathlib.Path(a).read_bytes(), pathlib.Path(b).read_bytes(), "%s and %s differ" % (a, b))


class ErrorTextTest(Case):
    def test_empty_right_after_loading(self):
        # A fresh process: the first call into the library.
        code = "import velmora_imgwatermark as wm; print(repr(wm.last_error()))"
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True,
                             cwd=str(IMPORT_DIR)).stdout
        self.assertEqual(out.strip(), "''")

    def test_init_empties_a_previous_message_and_cleanup_too(self):
        missing = self.work / "no such.bmp"
        self.assertFails("cannot read file: %s" % missing, wm.text, missing, self.work / "x.png", "x")
        self.assertIsNone(wm.init())
        self.assertEqual(wm.last_error(), "")
        self.assertFails("empty text string", wm.text, self.photo, self.work / "x.png", "")
        self.assertEqual(wm.last_error(), "empty text string")  # stays readable
        self.assertIsNone(wm.cleanup())
        self.assertEqual(wm.last_error(), "")
        wm.cleanup()
        self.assertEqual(wm.last_error(), "")

    def test_error_is_an_exception(self):
        self.assertTrue(issubclass(wm.ImgWatermarkError, Exception))


class TextTest(Case):
    def test_matches_the_c_host_and_leaves_no_message(self):
        out, ref = self.work / "tiled py.png", self.work / "tiled cli.png"
        self.assertFails("invalid arguments (NULL pointer)", wm.text, self.photo, out, None)
        wm.text(self.photo, out, "(c) Velmora\nproof", font_size=40, opacity=0.5, angle=30,
                position=wm.Position.TILE, color=(255, 0, 0))
        self.assertEqual(wm.last_error(), "")
        cli("text", "--in", self.photo, "--out", ref, "--text", "(c) Velmora\\nproof", "--size", 40,
            "--opacity", 0.5, "--angle", 30, "--position", "tile", "--color", "255,0,0")
        self.assertSameFile(out, ref)

    def test_defaults_are_the_libraries(self):
        out, ref = self.work / "default py.bmp", self.work / "default cli.bmp"
        wm.text(self.photo, out, "PROOF")
        cli("text", "--in", self.photo, "--out", ref, "--text", "PROOF", "--size", 32, "--opacity", 1,
            "--angle", 0, "--position", "center", "--color", "255,255,255")
        self.assertSameFile(out, ref)
        inside, outside = changes(read_bmp(self.photo), read_bmp(out), (200, 150, 440, 250))
        self.assertGreater(inside, 0)
        self.assertEqual(outside, 0)

    def test_path_kinds_and_text_bytes(self):
        # str, bytes and os.PathLike paths (with spaces), str and bytes text: one result.
        results = []
        for i, (src, dst, txt) in enumerate([
                (str(self.photo), str(self.work / "kind 0.png"), "PROOF"),
                (os.fsencode(self.photo), os.fsencode(self.work / "kind 1.png"), b"PROOF"),
                (self.photo, self.work / "kind 2.png", "PROOF")]):
            wm.text(src, dst, txt, position=wm.Position.TOP_LEFT)
            results.append((self.work / ("kind %d.png" % i)).read_bytes())
        self.assertEqual(results[0], results[1])
        self.assertEqual(results[0], results[2])
        inside, outside = changes(read_bmp(self.photo), read_png(self.work / "kind 2.png"), (0, 0, 320, 100))
        self.assertGreater(inside, 0)
        self.assertEqual(outside, 0)

    def test_opacity_zero_changes_nothing(self):
        out = self.work / "invisible.png"
        wm.text(self.photo, out, "PROOF", opacity=0)
        self.assertEqual(changes(read_bmp(self.photo), read_png(out), (0, 0, 0, 0)), (0, 0))

    def test_failures(self):
        out = self.work / "never.png"
        cases = [
            ("cannot read file: %s" % (self.work / "missing photo.jpg"), (self.work / "missing photo.jpg", out, "x")),
            ("empty text string", (self.photo, out, b"")),
            ("invalid arguments (NULL pointer)", (None, out, "x")),
            ("failed to write image to %s" % (self.work / "no dir" / "x.png"), (self.photo, self.work / "no dir" / "x.png", "x")),
        ]
        for message, args in cases:
            with self.subTest(message=message):
                self.assertFails(message, wm.text, *args)
        self.assertFalse(out.exists())


class ImageTest(Case):
    def test_matches_the_c_host_and_marks_only_the_corner(self):
        out, ref = self.work / "logo py.bmp", self.work / "logo cli.bmp"
        wm.image(self.photo, out, self.logo, opacity=0.8, position=wm.Position.BOTTOM_RIGHT, scale=0.5)
        self.assertEqual(wm.last_error(), "")
        cli("image", "--in", self.photo, "--out", ref, "--mark", self.logo, "--opacity", 0.8,
            "--position", "bottom-right", "--scale", 0.5)
        self.assertSameFile(out, ref)
        # The 160-pixel logo halved, 20 pixels from the bottom-right corner.
        inside, outside = changes(read_bmp(self.photo), read_bmp(out), (540, 300, 620, 380))
        self.assertGreater(inside, 0)
        self.assertEqual(outside, 0)

    def test_defaults_are_the_libraries(self):
        out, ref = self.work / "logo default py.png", self.work / "logo default cli.png"
        wm.image(self.photo, out, self.logo)
        cli("image", "--in", self.photo, "--out", ref, "--mark", self.logo, "--opacity", 1,
            "--position", "center", "--scale", 1)
        self.assertSameFile(out, ref)

    def test_failures(self):
        not_image = self.work / "not an image.png"
        not_image.write_bytes(b"hello\n")
        out = self.work / "never.png"
        self.assertFails("cannot decode image %s (unknown image type)" % not_image, wm.image, self.photo, out, not_image)
        self.assertFails("invalid arguments (NULL pointer)", wm.image, self.photo, out, None)
        self.assertFalse(out.exists())


class BatchTest(Case):
    def test_count_and_outputs_match_the_c_host(self):
        src = self.work / "batch in"
        src.mkdir()
        shutil.copy(self.photo, src / "one.bmp")
        cli("text", "--in", self.photo, "--out", src / "two.png", "--text", "x", "--opacity", 0)
        (src / "notes.txt").write_text("not a picture\n")
        out, ref = self.work / "batch out py", self.work / "batch out cli"
        self.assertEqual(wm.batch(src, out, "PROOF", font_size=24, opacity=0.6, position=wm.Position.TOP_LEFT), 2)
        self.assertEqual(wm.last_error(), "")
        cli("batch", "--in", src, "--out", ref, "--text", "PROOF", "--size", 24, "--opacity", 0.6,
            "--position", "top-left")
        self.assertEqual(sorted(p.name for p in out.iterdir()), ["one.bmp", "two.png"])
        for name in ("one.bmp", "two.png"):
            self.assertSameFile(out / name, ref / name)
        inside, outside = changes(read_bmp(src / "one.bmp"), read_bmp(out / "one.bmp"), (0, 0, 320, 100))
        self.assertGreater(inside, 0)
        self.assertEqual(outside, 0)

    def test_failures(self):
        empty = self.work / "empty dir"
        empty.mkdir()
        missing = self.work / "no such dir"
        out = self.work / "batch never"
        self.assertFails("batch: no supported images found in %s" % empty, wm.batch, empty, out, "PROOF")
        self.assertFails("batch: cannot open input directory: %s" % missing, wm.batch, missing, out, "PROOF")
        self.assertFails("batch: invalid arguments (NULL pointer)", wm.batch, empty, out, None)


class LookupTest(Case):
    """Where the binding finds the module, each in a fresh process."""

    def run_python(self, cwd, env):
        code = "import velmora_imgwatermark as wm; print(wm.library_path); wm.init()"
        return subprocess.run([sys.executable, "-c", code], cwd=str(cwd), env=env, capture_output=True, text=True)

    def clean_env(self):
        env = dict(os.environ)
        env.pop(wm.LIBRARY_ENV, None)
        env.pop("LD_LIBRARY_PATH", None)
        return env

    def test_environment_variable(self):
        env = self.clean_env()
        env[wm.LIBRARY_ENV] = MODULE
        done = self.run_python(IMPORT_DIR, env)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.strip(), MODULE)

    def test_next_to_the_binding(self):
        with tempfile.TemporaryDirectory(dir=str(self.work)) as d:
            module = copy_package(d, with_module=True)
            done = self.run_python(d, self.clean_env())
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout.strip(), os.path.join(os.path.abspath(d), "velmora_imgwatermark",
                                                               "libvelmora-imgwatermark.so"))
            self.assertTrue(os.path.samefile(done.stdout.strip(), module))

    def test_by_name_on_the_loader_path(self):
        # A copy of the code without the module beside it.
        with tempfile.TemporaryDirectory(dir=str(self.work)) as d:
            copy_package(d, with_module=False)
            env = self.clean_env()
            env["LD_LIBRARY_PATH"] = os.path.dirname(MODULE)
            done = self.run_python(d, env)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout.strip(), "libvelmora-imgwatermark.so")

    def test_missing_module_names_the_variable(self):
        env = self.clean_env()
        env[wm.LIBRARY_ENV] = str(self.work / "no-such-module.so")
        done = self.run_python(IMPORT_DIR, env)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("OSError: velmora-imgwatermark not found: set VELMORA_IMGWATERMARK_LIBRARY", done.stderr)



@unittest.skipUnless(INSTALLED_IN, "tests the source tree")
class InstalledPackageTest(unittest.TestCase):
    """The package and its module come from the environment it was installed
    into, not from the source tree beside these tests."""

    def test_package_and_module_are_the_installed_ones(self):
        prefix = pathlib.Path(INSTALLED_IN).resolve()
        self.assertIsNone(os.environ.get(wm.LIBRARY_ENV))
        self.assertEqual(pathlib.Path(sys.prefix).resolve(), prefix)
        self.assertTrue(PACKAGE_DIR.is_relative_to(prefix), "%s is outside %s" % (wm.__file__, prefix))
        self.assertEqual(pathlib.Path(MODULE).resolve(), PACKAGE_DIR / "libvelmora-imgwatermark.so")
        self.assertNotIn(str(HERE.parent), [str(pathlib.Path(p).resolve()) for p in sys.path if p])

    def test_a_fresh_interpreter_imports_the_installed_package(self):
        code = "import velmora_imgwatermark as wm; print(wm.__file__); print(wm.library_path)"
        env = dict(os.environ)
        env.pop("LD_LIBRARY_PATH", None)
        done = subprocess.run([sys.executable, "-c", code], cwd=str(IMPORT_DIR), env=env,
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        init_file, library = done.stdout.splitlines()
        self.assertEqual(pathlib.Path(init_file).resolve(), PACKAGE_DIR / "__init__.py")
        self.assertEqual(pathlib.Path(library).resolve(), PACKAGE_DIR / "libvelmora-imgwatermark.so")


if __name__ == "__main__":
    unittest.main()
