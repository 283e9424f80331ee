"""Checks of the two Python wheels, read back and (Linux) installed.

Run by cmake/stage-python.sh with:
  IMGWATERMARK_DIST       the folder holding both wheels
  IMGWATERMARK_BUILD      the Linux build (the module, tools/imgwatermark, tools/make_sample)
  IMGWATERMARK_BUILD_WIN  the mingw-w64 build (velmora-imgwatermark.dll)
  IMGWATERMARK_TEST_DIR   a scratch directory
The version expected is the one the command-line host prints, the platform
tag of the Linux wheel the highest GLIBC_2.NN the module needs (read here
with readelf, the wheel maker reads it with objdump).
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import unittest
import zipfile

SOURCE = pathlib.Path(__file__).resolve().parent.parent.parent
DIST = pathlib.Path(os.environ["IMGWATERMARK_DIST"]).resolve()
BUILD = pathlib.Path(os.environ["IMGWATERMARK_BUILD"]).resolve()
BUILD_WIN = pathlib.Path(os.environ["IMGWATERMARK_BUILD_WIN"]).resolve()
SCRATCH = pathlib.Path(os.environ["IMGWATERMARK_TEST_DIR"]).resolve()
CLI = BUILD / "tools" / "imgwatermark"
MAKE_SAMPLE = BUILD / "tools" / "make_sample"
LINUX_MODULE = BUILD / "libvelmora-imgwatermark.so"
WINDOWS_MODULE = BUILD_WIN / "velmora-imgwatermark.dll"
# Debian's interpreter, whatever python3 comes first on PATH.
SYSTEM_PYTHON = "/usr/bin/python3"


def version():
    """The project version, as the command-line host built by CMake prints it."""
    printed = subprocess.run([str(CLI), "--version"], check=True, capture_output=True, text=True).stdout
    found = re.fullmatch(r"imgwatermark ([0-9]+\.[0-9]+\.[0-9]+)\n", printed)
    if not found:
        raise AssertionError("imgwatermark --version printed %r" % printed)
    return found.group(1)


def glibc_tag(shared_object):
    """manylinux_2_NN_x86_64, NN the highest GLIBC_2.NN version the object needs."""
    info = subprocess.run(["readelf", "--version-info", "--wide", str(shared_object)], check=True,
                          capture_output=True, text=True).stdout
    needed = info[info.index("Version needs section"):]
    minors = [int(m) for m in re.findall(r"Name: GLIBC_2\.([0-9]+)\b", needed)]
    return "manylinux_2_%d_x86_64" % max(minors)


def wheel_file(tag):
    path = DIST / ("velmora_imgwatermark-%s-py3-none-%s.whl" % (version(), tag))
    if not path.is_file():
        raise AssertionError("no %s; the folder holds %s" % (path.name, sorted(p.name for p in DIST.iterdir())))
    return path


def expected_listing(module_name):
    info = "velmora_imgwatermark-%s.dist-info/" % version()
    return sorted(["velmora_imgwatermark/__init__.py", "velmora_imgwatermark/" + module_name]
                  + [info + n for n in ("LICENSE", "THIRD-PARTY-NOTICES.txt", "METADATA", "WHEEL",
                                        "top_level.txt", "RECORD")])


class WheelContents:
    """Checks both wheels share: the file list, the copied files, the tags."""

    tag = module_name = module = None

    def setUp(self):
        self.wheel = wheel_file(self.tag)
        self.zip = zipfile.ZipFile(self.wheel)
        self.addCleanup(self.zip.close)
        self.info = "velmora_imgwatermark-%s.dist-info/" % version()

    def test_file_list(self):
        self.assertEqual(sorted(self.zip.namelist()), expected_listing(self.module_name))

    def test_files_are_the_builds_and_the_repositorys(self):
        same = {
            "velmora_imgwatermark/" + self.module_name: self.module,
            "velmora_imgwatermark/__init__.py": SOURCE / "bindings/python/velmora_imgwatermark/__init__.py",
            self.info + "LICENSE": SOURCE / "LICENSE",
            self.info + "THIRD-PARTY-NOTICES.txt": SOURCE / "THIRD-PARTY-NOTICES.txt",
        }
        for name, original in same.items():
            with self.subTest(name=name):
                self.assertEqual(self.zip.read(name), original.read_bytes(), "%s differs from %s" % (name, original))

    def test_wheel_and_metadata_files(self):
        wheel = self.zip.read(self.info + "WHEEL").decode()
        self.assertEqual(re.findall(r"^Tag: (.*)$", wheel, re.MULTILINE), ["py3-none-" + self.tag])
        self.assertIn("Wheel-Version: 1.0\n", wheel)
        metadata = self.zip.read(self.info + "METADATA").decode()
        self.assertIn("\nName: velmora-imgwatermark\n", metadata)
        self.assertIn("\nVersion: %s\n" % version(), metadata)
        self.assertEqual(re.findall(r"^License-File: (.*)$", metadata, re.MULTILINE),
                         ["LICENSE", "THIRD-PARTY-NOTICES.txt"])

    def test_record_lists_every_file(self):
        record = self.zip.read(self.info + "RECORD").decode().splitlines()
        self.assertEqual(sorted(line.split(",")[0] for line in record), expected_listing(self.module_name))


class WindowsWheelTest(WheelContents, unittest.TestCase):
    tag = "win_amd64"
    module_name = "velmora-imgwatermark.dll"
    module = WINDOWS_MODULE


class LinuxWheelTest(WheelContents, unittest.TestCase):
    tag = glibc_tag(LINUX_MODULE)
    module_name = "libvelmora-imgwatermark.so"
    module = LINUX_MODULE

    def test_tag_is_what_the_carried_module_needs(self):
        carried = SCRATCH / "carried.so"
        SCRATCH.mkdir(parents=True, exist_ok=True)
        carried.write_bytes(self.zip.read("velmora_imgwatermark/libvelmora-imgwatermark.so"))
        self.assertEqual(glibc_tag(carried), self.tag)
        self.assertRegex(self.wheel.name, r"-py3-none-manylinux_2_[0-9]+_x86_64\.whl$")

    def test_installed_into_a_fresh_venv_passes_the_binding_suite(self):
        work = SCRATCH / "installed"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        venv = work / "venv"
        subprocess.run([SYSTEM_PYTHON, "-m", "venv", str(venv)], check=True)
        python = venv / "bin" / "python"
        env = {k: v for k, v in os.environ.items()
               if k not in ("VELMORA_IMGWATERMARK_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH", "PYTHONHOME")}
        subprocess.run([str(python), "-m", "pip", "install", "--no-index", "--quiet", "--disable-pip-version-check",
                        str(self.wheel)], check=True, env=env)
        shown = subprocess.run([str(python), "-c", "import importlib.metadata as m; print(m.version('velmora-imgwatermark'))"],
                               check=True, capture_output=True, text=True, cwd=str(work), env=env).stdout
        self.assertEqual(shown.strip(), version())
        # From a directory where the source tree is not importable.
        env.update(IMGWATERMARK_TEST_INSTALLED_IN=str(venv), IMGWATERMARK_CLI=str(CLI),
                   IMGWATERMARK_MAKE_SAMPLE=str(MAKE_SAMPLE), IMGWATERMARK_TEST_DIR=str(work / "scratch"),
                   PYTHONDONTWRITEBYTECODE="1")
        (work / "scratch").mkdir()
        suite = SOURCE / "bindings/python/tests"
        done = subprocess.run([str(python), "-m", "unittest", "discover", "-v", "-s", str(suite), "-t", str(suite)],
                              cwd=str(work / "scratch"), env=env, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        # The checks that the installed package was the one tested ran and passed.
        for name in ("test_package_and_module_are_the_installed_ones",
                     "test_a_fresh_interpreter_imports_the_installed_package"):
            self.assertRegex(done.stderr, r"\b%s \(.*\) \.\.\. ok\n" % name)
        self.assertNotIn("skipped", done.stderr)


if __name__ == "__main__":
    unittest.main()
