"""Finds the QR codes of quorvel --qr in pictures and video frames, with zbar.

Each code holds TICK FRAME in decimal. A picture is scanned as it is, then
thresholded, then enlarged; a video frame is scanned around where the last
code was, and the whole frame only when that fails (see Scanner).
"""
import re

# ASCII digits only: \d would take any script's digits. 20 digits hold any 64-bit number.
CODE = re.compile(r"([0-9]{1,20}) ([0-9]{1,20})", re.ASCII)


class Unreadable(Exception):
    pass


def symbols(grey, left=0, top=0, zoom=1):
    """The QR codes zbar reads whole in a greyscale numpy array, as (text, box);
    the box is in the pixels of the picture the array was cut from, which has
    `zoom` times the array's pixels."""
    import zbar
    height, width = grey.shape
    image = zbar.Image(width, height, "Y800", grey.tobytes())
    scanner = zbar.ImageScanner()
    scanner.parse_config("disable")  # QR codes only: other symbologies only find noise
    scanner.parse_config("qrcode.enable")
    scanner.scan(image)
    found = []
    for symbol in image:
        xs, ys = [int(p[0] * zoom) + left for p in symbol.location], [int(p[1] * zoom) + top for p in symbol.location]
        found.append((symbol.data, (min(xs), min(ys), max(xs), max(ys))))
    return found


def thresholded(grey):
    import numpy
    return numpy.where(grey > 127, numpy.uint8(255), numpy.uint8(0))


def retried(grey, left=0, top=0):
    """A blurred or skewed picture that zbar cannot read as it is often reads
    once thresholded, or else enlarged; each try only when the last found nothing."""
    import numpy
    from PIL import Image
    found = symbols(grey, left, top) or symbols(thresholded(grey), left, top)
    if not found:
        big = Image.fromarray(grey).resize((grey.shape[1] * 2, grey.shape[0] * 2), Image.BICUBIC)
        found = symbols(numpy.asarray(big), left, top, zoom=0.5)
    return found


def parsed(text):
    """(tick, frame) from a code's text, or None when it is not a quorvel code."""
    match = CODE.fullmatch(text)
    return (int(match[1]), int(match[2])) if match else None


def open_picture(path):
    """The picture as a greyscale array; None when the file is no still picture;
    Unreadable when it cannot or will not be opened."""
    import warnings
    import numpy
    from PIL import Image, ImageOps, UnidentifiedImageError
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # such as Pillow's advice on palette transparency
            warnings.simplefilter("error", Image.DecompressionBombWarning)
            with Image.open(path) as picture:
                if getattr(picture, "n_frames", 1) > 1:
                    return None
                # As shown: a phone's photo held upside down says so in its EXIF orientation.
                return numpy.asarray(ImageOps.exif_transpose(picture).convert("L"))
    except UnidentifiedImageError:
        return None
    except (Image.DecompressionBombError, Image.DecompressionBombWarning):
        raise Unreadable("too large to decode safely")
    except OSError as e:
        raise Unreadable(e.strerror or str(e))
    except (ValueError, SyntaxError, EOFError, MemoryError) as e:
        raise Unreadable(f"corrupt picture ({e})")


def picture_codes(grey):
    """The quorvel codes of a picture as (tick, frame, box), left to right."""
    return sorted(((*code, box) for text, box in retried(grey) if (code := parsed(text))),
                  key=lambda c: (c[2][0], c[2][1]))


# While no code is found, the whole frame is scanned only every this many
# video frames: a scan of a 1080p frame costs several times its decoding.
SEARCH_EVERY = 8


class Scanner:
    """Finds codes video frame by video frame: around where they were last
    seen, with every retry; when that fails, in the whole frame, never
    enlarged, and only every few frames while nothing is found. A phone's
    code spans hundreds of pixels, so the whole frame is searched plainly at
    half resolution, and at full resolution, thresholded too, every eighth time."""

    def __init__(self):
        self.region, self.misses = None, 0

    def scan(self, grey):
        found = []
        if self.region:
            left, top, right, bottom = self.region
            found = retried(grey[top:bottom, left:right], left, top)
        if not found and self.misses % SEARCH_EVERY == 0:
            found = symbols(grey[::2, ::2], zoom=2)
            if not found and self.misses % (8 * SEARCH_EVERY) == 0:
                found = symbols(grey) or symbols(thresholded(grey))
        self.misses = 0 if found else self.misses + 1
        if found:
            self.region = grown_box([box for _, box in found], grey.shape)
        return found


def grown_box(boxes, shape):
    """The codes' box, grown by half its size each way, so a moving camera keeps it."""
    left, top = min(b[0] for b in boxes), min(b[1] for b in boxes)
    right, bottom = max(b[2] for b in boxes), max(b[3] for b in boxes)
    w, h = (right - left) // 2, (bottom - top) // 2
    return max(0, left - w), max(0, top - h), min(shape[1], right + w), min(shape[0], bottom + h)
