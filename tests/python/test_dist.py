"""Checks of the folder ./pack.sh writes (dist/ by default).

Run by cmake/stage-python.sh with:
  IMGWATERMARK_DIST          the folder pack.sh wrote
  IMGWATERMARK_BUILD         the Linux build (tools/imgwatermark prints the version)
  IMGWATERMARK_BUILD_WIN     the mingw-w64 build (the SDK zip it made)
  IMGWATERMARK_EXPECT_NUGET  1 when the folder must hold the NuGet package
  IMGWATERMARK_TEST_DIR      a scratch directory
"""

import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import unittest

DIST = pathlib.Path(os.environ["IMGWATERMARK_DIST"]).resolve()
BUILD = pathlib.Path(os.environ["IMGWATERMARK_BUILD"]).resolve()
BUILD_WIN = pathlib.Path(os.environ["IMGWATERMARK_BUILD_WIN"]).resolve()
EXPECT_NUGET = os.environ.get("IMGWATERMARK_EXPECT_NUGET") == "1"
SCRATCH = pathlib.Path(os.environ["IMGWATERMARK_TEST_DIR"]).resolve()


def version():
    printed = subprocess.run([str(BUILD / "tools" / "imgwatermark"), "--version"], check=True,
                             capture_output=True, text=True).stdout
    return re.fullmatch(r"imgwatermark ([0-9.]+)\n", printed).group(1)


def sums(folder):
    """{file name: hex digest} from folder/SHA256SUMS, each line checked for sha256sum's format."""
    entries = {}
    for line in (folder / "SHA256SUMS").read_text().splitlines():
        found = re.fullmatch(r"([0-9a-f]{64})  (\S+)", line)
        if not found:
            raise AssertionError("SHA256SUMS line not in sha256sum's format: %r" % line)
        if found.group(2) in entries:
            raise AssertionError("%s listed twice" % found.group(2))
        entries[found.group(2)] = found.group(1)
    return entries


def sha256sum_check(folder):
    return subprocess.run(["sha256sum", "-c", "--strict", "SHA256SUMS"], cwd=str(folder), capture_output=True,
                          text=True)


class DistTest(unittest.TestCase):
    def test_holds_every_distributable(self):
        v = version()
        names = sorted(p.name for p in DIST.iterdir())
        self.assertTrue(all((DIST / n).is_file() for n in names), names)
        expected = ["SHA256SUMS", "velmora-imgwatermark-%s-win64.zip" % v,
                    "velmora_imgwatermark-%s-py3-none-win_amd64.whl" % v]
        if EXPECT_NUGET:
            expected.append("Velmora.ImgWatermark.%s.nupkg" % v)
        linux = [n for n in names if re.fullmatch(r"velmora_imgwatermark-%s-py3-none-manylinux_2_[0-9]+_x86_64\.whl"
                                                  % re.escape(v), n)]
        self.assertEqual(len(linux), 1, names)
        self.assertEqual(names, sorted(expected + linux))

    def test_sdk_zip_is_the_builds(self):
        name = "velmora-imgwatermark-%s-win64.zip" % version()
        self.assertEqual((DIST / name).read_bytes(), (BUILD_WIN / name).read_bytes())

    def test_checksums_cover_every_other_file_and_verify(self):
        entries = sums(DIST)
        others = sorted(p.name for p in DIST.iterdir() if p.name != "SHA256SUMS")
        self.assertEqual(sorted(entries), others)
        for name, digest in entries.items():
            with self.subTest(name=name):
                self.assertEqual(hashlib.sha256((DIST / name).read_bytes()).hexdigest(), digest)
        done = sha256sum_check(DIST)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(sorted(re.findall(r"^(\S+): OK$", done.stdout, re.MULTILINE)), others)

    def test_a_changed_file_fails_the_check(self):
        copy = SCRATCH / "dist-changed"
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(DIST, copy)
        victim = sorted(p for p in copy.iterdir() if p.name != "SHA256SUMS")[0]
        data = bytearray(victim.read_bytes())
        data[len(data) // 2] ^= 1
        victim.write_bytes(bytes(data))
        done = sha256sum_check(copy)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("%s: FAILED" % victim.name, done.stdout)


if __name__ == "__main__":
    unittest.main()
