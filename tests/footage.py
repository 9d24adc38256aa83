"""Footage whose answer is known: QR codes of quorvel frames laid out video frame by video frame,
encoded with ffmpeg, and the log that goes with them."""
import functools
import io
import subprocess
import warnings

import numpy
from PIL import Image

HEADER = "frame,start_us,swap_end_us,interval_us,duration_us,swap_end_mono_us,present_ust,present_msc," \
         "present_mode,present_flags,measured\n"


def png(text):
    """The QR code of `text` as a PNG file's bytes, 4 pixels a module, quiet zone included."""
    return subprocess.run(["qrencode", "-s", "4", "-o", "-", text], capture_output=True, check=True).stdout


@functools.lru_cache(maxsize=None)
def code(text):
    """The QR code of `text` as a greyscale array."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # Pillow's advice on qrencode's palette
        return numpy.asarray(Image.open(io.BytesIO(png(text))).convert("L"))


def film(path, texts, fps=100, size=(320, 240), at=(100, 50), args=()):
    """Encodes one video frame for each of `texts` at `fps`, losslessly unless `args` says otherwise:
    None for a frame without a code, a tuple for codes one above the other, each 150 pixels lower."""
    width, height = size
    encoder = subprocess.Popen(["ffmpeg", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "gray", "-s",
                                f"{width}x{height}", "-r", str(fps), "-i", "-", *(args or ["-c:v", "libx264", "-qp",
                                "0", "-preset", "ultrafast"]), str(path)], stdin=subprocess.PIPE)
    for text in texts:
        frame = numpy.zeros((height, width), numpy.uint8)
        for n, each in enumerate(text if isinstance(text, tuple) else [text] if text else []):
            c, top = code(each), at[1] + 150 * n
            frame[top:top + c.shape[0], at[0]:at[0] + c.shape[1]] = c
        encoder.stdin.write(frame.tobytes())
    encoder.stdin.close()
    assert encoder.wait(timeout=120) == 0
    return path


def write_log(path, ticks, swap_after=5000):
    """A log of frames 1, 2, ... that started at `ticks` and swapped `swap_after` μs later."""
    rows = [f"{n},{t},{t + swap_after},{'' if n == 1 else t - ticks[n - 2]},{swap_after},{t + swap_after},,,,,1\n"
            for n, t in enumerate(ticks, start=1)]
    path.write_text(HEADER + "".join(rows))
    return path
