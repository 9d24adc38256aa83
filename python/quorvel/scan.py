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


def symbols(grey, left=0, top=0, zoom=1, density=1):
    """The QR codes zbar reads whole in a greyscale numpy array, as (text, box);
    the box is in the pixels of the picture the array was cut from, which has
    `zoom` times the array's pixels. zbar looks along every `density`th row
    and column only."""
    import zbar
    height, width = grey.shape
    image = zbar.Image(width, height, "Y800", grey.tobytes())
    scanner = zbar.ImageScanner()
    scanner.parse_config("disable")  # QR codes only: other symbologies only find noise
    scanner.parse_config("qrcode.enable")
    scanner.parse_config(f"x-density={density}")
    scanner.parse_config(f"y-density={density}")
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


# While no code is found, the whole frame is searched only every this many
# video frames: a search of a busy 1080p frame costs zbar several times its
# decoding. An odd number, so that the searches do not all fall on the same
# phase of a display that changes frame every second or fourth video frame,
# as on the blended frames of a slow shutter. The frames not searched are
# held, up to this many bytes of them (32 frames of 1080p, two searches'
# worth), and scanned around the codes once a search finds them, so none is
# lost where one search of two fails.
SEARCH_EVERY = 15
HOLD_BYTES = 64 << 20


class Scanner:
    """Finds codes video frame by video frame: around where they were last
    seen, with every retry; when that fails, in the whole frame, never
    enlarged, and only every few frames while nothing is found. A phone's
    code spans hundreds of pixels, so the whole frame is searched at half
    resolution, and every fourth time at full resolution too, for a code of
    fewer than 4 pixels a module: plainly along every second row and column,
    which halves the cost of a busy scene and still crosses a finder pattern
    of 2 pixels a module seven times, and thresholded along every one, as a
    blurred and noisy code reads only so."""

    def __init__(self):
        self.region, self.misses, self.searches, self.held, self.followed = None, 0, 0, [], 0

    def scan(self, t, grey):
        """(t, codes) for this frame and the frames held before it, in order;
        nothing, or only the oldest held frames, while it holds this one."""
        tracking = self.region is not None and self.misses < SEARCH_EVERY
        found = self.around(grey) if tracking else []
        self.followed = self.followed + 1 if found else 0
        if self.followed % (4 * SEARCH_EVERY) == 0 and found:  # a second window come into view meanwhile
            found += [code for code in symbols(grey[::2, ::2], zoom=2) if code[0] not in {text for text, _ in found}]
        if not found and self.misses % SEARCH_EVERY == 0:
            found = self.search(grey)
        self.misses = 0 if found else self.misses + 1
        if not found and tracking:
            return [(t, [])]
        if not found:
            self.held.append((t, grey.copy()))  # a copy, so that the decoder reuses its frame
            keep = max(1, HOLD_BYTES // grey.nbytes)
            done, self.held = self.held[:-keep], self.held[-keep:]
            return [(when, []) for when, _ in done]
        self.region = grown_box([box for _, box in found], grey.shape)
        # Back from the newest to where the code was not yet shown, four frames in a row without it (a
        # blended frame of a slow shutter is one): each frame of a busy scene costs three tries.
        done, empty = [], 0
        for when, held in reversed(self.held):
            codes = self.around(held) if empty < 4 else []
            empty = 0 if codes else empty + 1
            done.append((when, codes))
        self.held = []
        return done[::-1] + [(t, found)]

    def flush(self):
        """The frames still held at the end: no search found a code in them."""
        done, self.held = [(when, []) for when, _ in self.held], []
        return done

    def around(self, grey):
        left, top, right, bottom = self.region
        return retried(grey[top:bottom, left:right], left, top)

    def search(self, grey):
        self.searches += 1
        found = symbols(grey[::2, ::2], zoom=2)
        if not found and self.searches % 4 == 1:
            found = symbols(grey, density=2) or symbols(thresholded(grey))
        return found


def grown_box(boxes, shape):
    """The codes' box, grown by half its size each way, so a moving camera keeps it."""
    left, top = min(b[0] for b in boxes), min(b[1] for b in boxes)
    right, bottom = max(b[2] for b in boxes), max(b[3] for b in boxes)
    w, h = (right - left) // 2, (bottom - top) // 2
    return max(0, left - w), max(0, top - h), min(shape[1], right + w), min(shape[0], bottom + h)
