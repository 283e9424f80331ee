"""Checks of the Windows SDK folder, read back on the build machine.

  check_sdk.py import-lib LLVM_NM LIB
      the MSVC import library names exactly the six exports (each with its
      __imp_ pointer) and the DLL velmora-imgwatermark.dll
  check_sdk.py version-resource LLVM_READOBJ DLL VERSION
      the DLL's version resource carries VERSION as FileVersion and
      ProductVersion (strings and fixed numbers) and the product's names
  check_sdk.py sdk-folder CMAKE BUILD_DIR SOURCE_DIR VERSION
      the sdk-zip target installs exactly the expected files, the zip holds
      exactly that folder, and the copied files are the build's own
Exit status 0 when the check passed; the reason is printed otherwise.
"""

import pathlib
import re
import struct
import subprocess
import sys

EXPORTS = sorted(["imgwatermark_last_error", "imgwatermark_init", "imgwatermark_cleanup",
                  "imgwatermark_text", "imgwatermark_image", "imgwatermark_batch"])
DLL_NAME = "velmora-imgwatermark.dll"


def fail(message):
    print("check_sdk: " + message, file=sys.stderr)
    sys.exit(1)


def run(*args):
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True)
    if done.returncode != 0:
        fail("%s failed (%d): %s" % (" ".join(map(str, args)), done.returncode, done.stderr))
    return done.stdout


def check_import_lib(nm, lib):
    members, defined = set(), []
    for line in run(nm, lib).splitlines():
        if line.endswith(":") and line.strip():
            members.add(line[:-1].strip())
            continue
        parts = line.split()
        if len(parts) == 3 and parts[1] == "T":
            defined.append(parts[2])
    functions = sorted(s for s in defined if not s.startswith("__imp_"))
    pointers = sorted(s[len("__imp_"):] for s in defined if s.startswith("__imp_"))
    if functions != EXPORTS:
        fail("%s defines the functions %s, expected %s" % (lib, functions, EXPORTS))
    if pointers != EXPORTS:
        fail("%s defines the import pointers %s, expected %s" % (lib, pointers, EXPORTS))
    if members != {DLL_NAME}:
        fail("%s imports from %s, expected %s" % (lib, sorted(members), DLL_NAME))
    print("%s: %s from %s" % (lib, ", ".join(functions), DLL_NAME))


def resource_bytes(readobj, dll):
    """The VERSIONINFO resource's data, from llvm-readobj's hex dump."""
    dump = run(readobj, "--coff-resources", dll)
    at = dump.find("Type: VERSIONINFO")
    if at < 0:
        fail("%s has no VERSIONINFO resource" % dll)
    data = bytearray()
    in_data = False
    for line in dump[at:].splitlines():
        if line.strip() == "Data (":
            in_data = True
        elif in_data and line.strip() == ")":
            break
        elif in_data:
            m = re.match(r"\s*[0-9A-Fa-f]+: ((?:[0-9A-Fa-f]{2,8} ?)+)\s*\|", line)
            if not m:
                fail("unexpected line in the resource dump: " + line)
            data += bytes.fromhex(m.group(1).replace(" ", ""))
    return bytes(data)


def parse_block(data, pos):
    """One VS_VERSIONINFO-style block at pos: (key, value bytes, text flag, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    key_end = pos + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < end:
        block = parse_block(data, child)
        children.append(block)
        child = (block[4] + 3) & ~3
    return key, value, kind == 1, children, end


def check_version_resource(readobj, dll, version):
    data = resource_bytes(readobj, dll)
    key, fixed, _, children, _ = parse_block(data, 0)
    if key != "VS_VERSION_INFO" or len(fixed) != 52:
        fail("%s: the resource is not a VS_VERSION_INFO (%r, %d bytes of fixed info)" % (dll, key, len(fixed)))
    signature, _, fv_ms, fv_ls, pv_ms, pv_ls = struct.unpack_from("<IIIIII", fixed)
    numbers = [int(n) for n in version.split(".")] + [0]
    expected_ms, expected_ls = (numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]
    if signature != 0xFEEF04BD or (fv_ms, fv_ls) != (expected_ms, expected_ls) or (pv_ms, pv_ls) != (expected_ms, expected_ls):
        fail("%s: fixed version numbers %08x.%08x / %08x.%08x, expected %08x.%08x"
             % (dll, fv_ms, fv_ls, pv_ms, pv_ls, expected_ms, expected_ls))
    strings = {}
    for child in children:
        if child[0] == "StringFileInfo":
            for table in child[3]:
                for entry in table[3]:
                    strings[entry[0]] = entry[1].decode("utf-16-le").rstrip("\0")
    expected = {
        "FileVersion": version,
        "ProductVersion": version,
        "ProductName": "velmora-imgwatermark",
        "OriginalFilename": DLL_NAME,
    }
    for name, value in expected.items():
        if strings.get(name) != value:
            fail("%s: %s is %r, expected %r (all: %r)" % (dll, name, strings.get(name), value, strings))
    for name in ("FileDescription", "LegalCopyright"):
        if not strings.get(name):
            fail("%s: %s is missing or empty (all: %r)" % (dll, name, strings))
    print("%s: %s" % (dll, "; ".join("%s=%s" % kv for kv in sorted(strings.items()))))


def listing(root):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file())


def check_sdk_folder(cmake, build, source, version):
    build, source = pathlib.Path(build), pathlib.Path(source)
    name = "velmora-imgwatermark-%s-win64" % version
    run(cmake, "--build", build, "--target", "sdk-zip")
    folder = build / "sdk" / name
    expected = sorted([
        "share/doc/velmora-imgwatermark/LICENSE",
        "share/doc/velmora-imgwatermark/THIRD-PARTY-NOTICES.txt",
        "bin/imgwatermark.exe",
        "bin/velmora-imgwatermark.dll",
        "bindings/csharp/ImgWatermark.cs",
        "include/imgwatermark.h",
        "lib/velmora-imgwatermark.def",
        "lib/velmora-imgwatermark.dll.a",
        "lib/velmora-imgwatermark.lib",
    ])
    found = listing(folder)
    if found != expected:
        fail("the SDK folder holds %s, expected %s" % (found, expected))
    same = {
        "bin/velmora-imgwatermark.dll": build / "velmora-imgwatermark.dll",
        "lib/velmora-imgwatermark.lib": build / "velmora-imgwatermark.lib",
        "lib/velmora-imgwatermark.def": build / "velmora-imgwatermark.def",
        "include/imgwatermark.h": source / "include" / "imgwatermark.h",
        "bindings/csharp/ImgWatermark.cs": source / "bindings" / "csharp" / "ImgWatermark.cs",
        "share/doc/velmora-imgwatermark/LICENSE": source / "LICENSE",
        "share/doc/velmora-imgwatermark/THIRD-PARTY-NOTICES.txt": source / "THIRD-PARTY-NOTICES.txt",
    }
    for rel, original in same.items():
        if (folder / rel).read_bytes() != original.read_bytes():
            fail("%s in the SDK folder differs from %s" % (rel, original))
    zip_path = build / (name + ".zip")
    with open(zip_path, "rb") as f:
        if f.read(4) != b"PK\x03\x04":
            fail("%s is not a zip archive" % zip_path)
    entries = sorted(e.rstrip("/") for e in run(cmake, "-E", "tar", "tf", zip_path).split())
    files = [e for e in entries if not (e == name or any(x.startswith(e + "/") for x in entries))]
    if files != [name + "/" + rel for rel in expected]:
        fail("%s holds %s" % (zip_path, files))
    print("%s: %s" % (zip_path.name, ", ".join(expected)))


def main(argv):
    if len(argv) == 3 and argv[0] == "import-lib":
        check_import_lib(*argv[1:])
    elif len(argv) == 4 and argv[0] == "version-resource":
        check_version_resource(*argv[1:])
    elif len(argv) == 5 and argv[0] == "sdk-folder":
        check_sdk_folder(*argv[1:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
