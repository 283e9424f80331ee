"""Builds a wheel of the Python binding around one native module, offline,
with the interpreter's own setuptools and wheel (Debian's python3-build,
python3-setuptools, python3-wheel).

  make_wheel.py MODULE OUT_DIR [WORK_DIR]

MODULE is libvelmora-imgwatermark.so (a manylinux_2_NN_x86_64 wheel, NN the
highest GLIBC_2.NN symbol version the module needs, read with objdump -T)
or velmora-imgwatermark.dll (a win_amd64 wheel). The version is the CMake
project version from the repository's CMakeLists.txt. The wheel's path is
printed on the last line.
"""

import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent.parent
NOTICES = ("LICENSE", "THIRD-PARTY-NOTICES.txt")


def project_version(cmakelists=REPO / "CMakeLists.txt"):
    """The VERSION of the project() call in CMakeLists.txt."""
    found = re.search(r"^project\(\s*velmora-imgwatermark\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)\b",
                      cmakelists.read_text(), re.MULTILINE)
    if not found:
        sys.exit("make_wheel: no project(velmora-imgwatermark VERSION x.y.z) in %s" % cmakelists)
    return found.group(1)


def glibc_minor(shared_object):
    """NN of the highest GLIBC_2.NN symbol version the shared object needs."""
    dump = subprocess.run(["objdump", "-T", str(shared_object)], check=True, capture_output=True,
                          text=True).stdout
    minors = [int(m) for m in re.findall(r"\bGLIBC_2\.([0-9]+)\b", dump)]
    if not minors:
        sys.exit("make_wheel: %s names no GLIBC_2.NN symbol version" % shared_object)
    return max(minors)


def platform_tag(module):
    """(the wheel's platform tag, the module's file name inside the package)."""
    name = module.name
    if name.endswith(".dll"):
        return "win_amd64", "velmora-imgwatermark.dll"
    if re.fullmatch(r"libvelmora-imgwatermark\.so(\.[0-9]+)*", name):
        return "manylinux_2_%d_x86_64" % glibc_minor(module), "libvelmora-imgwatermark.so"
    sys.exit("make_wheel: %s is neither libvelmora-imgwatermark.so nor velmora-imgwatermark.dll" % module)


def build_wheel(module, out_dir, work_dir):
    module, out_dir = pathlib.Path(module).resolve(), pathlib.Path(out_dir).resolve()
    tag, module_name = platform_tag(module)
    stage = pathlib.Path(work_dir) / tag
    shutil.rmtree(stage, ignore_errors=True)
    (stage / "velmora_imgwatermark").mkdir(parents=True)
    shutil.copy(HERE / "velmora_imgwatermark" / "__init__.py", stage / "velmora_imgwatermark")
    shutil.copy(module, stage / "velmora_imgwatermark" / module_name)
    shutil.copy(HERE / "pyproject.toml", stage)
    shutil.copy(HERE / "README.md", stage)
    for notice in NOTICES:
        shutil.copy(REPO / notice, stage)
    version = project_version()
    (stage / "VERSION").write_text(version + "\n")
    out_dir.mkdir(parents=True, exist_ok=True)
    # A pure-Python wheel (the package loads the module with ctypes, for any
    # Python 3) that is tied to one platform by the module it carries.
    done = subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir", str(stage / "dist"),
                           "-C--build-option=--plat-name=" + tag, str(stage)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit("make_wheel: python -m build failed (%d):\n%s%s" % (done.returncode, done.stdout, done.stderr))
    wheel = stage / "dist" / ("velmora_imgwatermark-%s-py3-none-%s.whl" % (version, tag))
    if not wheel.is_file():
        sys.exit("make_wheel: expected %s, the build wrote %s" % (wheel, sorted(p.name for p in (stage / "dist").iterdir())))
    target = out_dir / wheel.name
    shutil.copy(wheel, target)
    return target


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as scratch:
        print(build_wheel(argv[0], argv[1], argv[2] if len(argv) == 3 else scratch))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
