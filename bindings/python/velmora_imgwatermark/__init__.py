"""velmora-imgwatermark for Python, through ctypes (no build step).

    import velmora_imgwatermark as wm
    wm.text("photo.jpg", "marked.png", "(c) Velmora", opacity=0.5, position=wm.Position.TILE)
    wm.image("marked.png", "final.png", "logo.png", position=wm.Position.BOTTOM_RIGHT, scale=0.5)

The module is looked for, in this order: the file named by the environment
variable VELMORA_IMGWATERMARK_LIBRARY (and nothing else when it is set); the
platform's file name (libvelmora-imgwatermark.so, velmora-imgwatermark.dll,
libvelmora-imgwatermark.dylib) in this package's folder, where a wheel puts
it; that name on the loader's
search path (LD_LIBRARY_PATH and the system directories on Linux). A failed call
raises ImgWatermarkError carrying the library's message. Paths may be str,
bytes or os.PathLike; they are encoded with os.fsencode (on Windows in the
ANSI code page). Text may be str (encoded as UTF-8) or bytes.
"""

import ctypes
import ctypes.util
import enum
import os
import sys

__all__ = ["Position", "ImgWatermarkError", "last_error", "init", "cleanup", "text", "image", "batch"]

LIBRARY_ENV = "VELMORA_IMGWATERMARK_LIBRARY"


class Position(enum.IntEnum):
    """Where a watermark goes; the values are the library's position codes."""

    CENTER = 0
    TOP_LEFT = 1
    TOP_RIGHT = 2
    BOTTOM_LEFT = 3
    BOTTOM_RIGHT = 4
    TILE = 5


class ImgWatermarkError(Exception):
    """A failed library call; ``message`` is the library's own text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def _platform_names():
    if sys.platform == "win32":
        return ["velmora-imgwatermark.dll"]
    if sys.platform == "darwin":
        return ["libvelmora-imgwatermark.dylib"]
    # The development link first, then the run-time name (its SONAME).
    return ["libvelmora-imgwatermark.so", "libvelmora-imgwatermark.so.1"]


def _load():
    """Opens the module (see the module's doc for the order) and declares
    the six exports' argument and result types."""
    explicit = os.environ.get(LIBRARY_ENV)
    here = os.path.dirname(os.path.abspath(__file__))
    if explicit:
        candidates = [explicit]
    else:
        candidates = [os.path.join(here, n) for n in _platform_names() if os.path.exists(os.path.join(here, n))]
        candidates += _platform_names()
    errors = []
    for candidate in candidates:
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as e:
            errors.append(str(e))
    else:
        # Last, whatever ctypes' own search (ldconfig's cache and the like) finds.
        found = None if explicit else ctypes.util.find_library("velmora-imgwatermark")
        if not found:
            raise OSError("velmora-imgwatermark not found: set %s to the module's path, put %s in %s, "
                          "or install it (%s)" % (LIBRARY_ENV, _platform_names()[0], here,
                                                  "; ".join(errors)))
        lib = ctypes.CDLL(found)

    c_str, c_int, c_float = ctypes.c_char_p, ctypes.c_int, ctypes.c_float
    # The error text is the library's own buffer: read, never freed.
    lib.imgwatermark_last_error.argtypes = []
    lib.imgwatermark_last_error.restype = c_str
    lib.imgwatermark_init.argtypes = []
    lib.imgwatermark_init.restype = c_int
    lib.imgwatermark_cleanup.argtypes = []
    lib.imgwatermark_cleanup.restype = None
    lib.imgwatermark_text.argtypes = [c_str, c_str, c_str, c_int, c_float, c_float, c_int, c_int, c_int, c_int]
    lib.imgwatermark_text.restype = c_int
    lib.imgwatermark_image.argtypes = [c_str, c_str, c_str, c_float, c_int, c_float]
    lib.imgwatermark_image.restype = c_int
    lib.imgwatermark_batch.argtypes = [c_str, c_str, c_str, c_int, c_float, c_int]
    lib.imgwatermark_batch.restype = c_int
    return lib


_lib = _load()
library_path = _lib._name
"""The file the module was opened from (as given to the loader)."""


def _path(p):
    """A path as the C runtime takes it: bytes unchanged; str and os.PathLike
    encoded with os.fsencode, or on Windows in the ANSI code page the DLL's
    narrow file functions use."""
    if p is None:
        return None
    p = os.fspath(p)
    if isinstance(p, bytes):
        return p
    return p.encode("mbcs") if sys.platform == "win32" else os.fsencode(p)


def _text(t):
    if t is None or isinstance(t, bytes):
        return t
    return str(t).encode("utf-8")


def _decode(raw):
    if not raw:
        return ""
    return raw.decode("mbcs", "replace") if sys.platform == "win32" else os.fsdecode(raw)


def last_error():
    """The message of the last failure, "" when none is recorded."""
    return _decode(_lib.imgwatermark_last_error())


def _fail():
    raise ImgWatermarkError(last_error())


def init():
    """Prepares the embedded font (optional: text() does it on first use)."""
    if _lib.imgwatermark_init() != 1:
        _fail()


def cleanup():
    """Empties the library's error text."""
    _lib.imgwatermark_cleanup()


def text(input_path, output_path, text, font_size=32, opacity=1.0, angle=0.0,
         position=Position.CENTER, color=(255, 255, 255)):
    """Draws text ('\\n' starts a line) over input_path and writes output_path
    (format from its extension .jpg/.jpeg/.png/.bmp, else the input's).
    angle is in degrees, counter-clockwise; color is (red, green, blue)."""
    red, green, blue = color
    if _lib.imgwatermark_text(_path(input_path), _path(output_path), _text(text), int(font_size),
                              float(opacity), float(angle), int(position), int(red), int(green),
                              int(blue)) != 1:
        _fail()


def image(input_path, output_path, watermark_path, opacity=1.0, position=Position.CENTER, scale=1.0):
    """Lays the picture at watermark_path (its alpha is used) over input_path,
    scaled by scale, and writes output_path."""
    if _lib.imgwatermark_image(_path(input_path), _path(output_path), _path(watermark_path),
                               float(opacity), int(position), float(scale)) != 1:
        _fail()


def batch(input_dir, output_dir, text, font_size=32, opacity=1.0, position=Position.CENTER):
    """Marks every .jpg/.jpeg/.png/.bmp file directly inside input_dir in
    white into output_dir; returns how many were written (raises when none)."""
    written = _lib.imgwatermark_batch(_path(input_dir), _path(output_dir), _text(text), int(font_size),
                                      float(opacity), int(position))
    if written <= 0:
        _fail()
    return written
