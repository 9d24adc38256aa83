"""Walks a video frame by frame: decodes it with PyAV, notices a clip cut
short, and keeps the display frames its codes show, told apart by run."""
import os
import re
import sys

from quorvel_scan import Scanner, Unreadable, parsed


class Sighting:
    def __init__(self, frame, tick, run, t, row):
        self.frame, self.tick, self.run = frame, tick, run
        self.first, self.last, self.count, self.row = t, t, 0, row


def luma(frame):
    """A video frame's brightness as an array: its Y plane as it is, where the
    format has one, which spares a conversion that costs as much as decoding."""
    import numpy
    if frame.format.name in ("yuv420p", "yuvj420p", "yuv422p", "yuvj422p", "yuv444p", "yuvj444p", "nv12", "gray"):
        plane = frame.planes[0]
        rows = numpy.frombuffer(plane, numpy.uint8).reshape(plane.height, plane.line_size)
        return rows[:, :plane.width]
    return frame.to_ndarray(format="gray")


def stated_end(stream):
    """Where the video stream says it ends, in seconds of its timeline; None
    where it does not say. Matroska states it in the stream's DURATION tag."""
    base, start = stream.time_base, stream.start_time or 0
    if stream.duration and base:
        return float((start + stream.duration) * base)
    tag = re.fullmatch(r"(\d+):(\d\d):(\d\d(?:\.\d+)?)", stream.metadata.get("DURATION", ""))
    if tag:
        return float(start * base if base else 0) + int(tag[1]) * 3600 + int(tag[2]) * 60 + float(tag[3])
    return None


def decoded_frames(path, warn):
    """(seconds on the video's timeline, greyscale array) for each frame that
    decodes, and the frame rate; a cut stream ends the frames with a warning."""
    import av
    import av.logging
    av.logging.set_level(av.logging.PANIC)  # its messages would come beside ours, unasked
    try:
        container = av.open(path)
    except (av.FFmpegError, OSError, ValueError) as e:
        raise Unreadable(f"neither a picture nor a video ({getattr(e, 'strerror', None) or e})")
    if not container.streams.video:
        container.close()
        raise Unreadable("neither a picture nor a video (no video stream)")
    stream = container.streams.video[0]
    stream.thread_type = "AUTO"
    # The loop filter smooths block edges for the eye; codes read as well
    # without it, and H.264 decodes a quarter faster.
    stream.codec_context.options = {"skip_loop_filter": "all"}
    # An MPEG transport stream is whole packets; a cut one states the length it was cut to.
    torn = container.format.name == "mpegts" and all(os.path.getsize(path) % size for size in (188, 192))
    fps = float(stream.guessed_rate or stream.average_rate or 0)

    def frames():
        n, t, problem = 0, 0.0, "it ends inside a transport packet" if torn else None
        try:
            for frame in container.decode(stream):
                t = float(frame.time) if frame.time is not None else n / (fps or 1)
                problem = problem or ("a frame decodes corrupt" if frame.is_corrupt else None)
                yield t, luma(frame)
                n += 1
        except (av.FFmpegError, EOFError) as e:
            problem = str(e)
        finally:
            # A cut file often decodes to its end without a word: its stream still states the whole length.
            end = stated_end(stream)
            container.close()
        if n and (problem or (fps and end and end > t + 2 / fps)):
            warn(f"the video is cut short: {n} frames decoded, up to {t:.3f} s"
                 + (f" of {end:.3f} s" if end else "") + "; reading what decoded")
    return fps, stream.frames, frames()


def progress(frames, total):
    """A progress bar on standard error, where standard error is a terminal."""
    if not sys.stderr.isatty():
        return frames
    from tqdm import tqdm
    return tqdm(frames, total=total or None, unit=" frames", file=sys.stderr, leave=False)


class Sightings:
    """The display frames seen, keyed by (frame, tick). Within a run, later
    frames have later ticks; a code whose frame number and tick step apart,
    as frame 1 of a second run after frame 300 of the first, starts a new run
    of quorvel, whether or not its frame numbers were seen before."""

    def __init__(self, ticks):
        self.ticks, self.seen, self.runs, self.latest = ticks, {}, 0, None
        self.counts = {"frames": 0, "frames_with_code": 0, "bad_reads": 0, "two_frame_reads": 0}

    def take(self, t, found):
        self.counts["frames"] += 1
        self.counts.setdefault("first_s", t)
        self.counts["last_s"] = t
        codes = {}
        for text, box in found:
            code = parsed(text)
            if not code or (self.ticks is not None and self.ticks.get(code[1]) != code[0]):
                self.counts["bad_reads"] += 1
            elif codes.get(code, box[1] + 1) > box[1]:  # read twice here: counted once, at its top
                codes[code] = box[1]
        for (tick, frame), row in sorted(codes.items(), key=lambda c: c[0][0]):
            s = self.sighting(frame, tick, t, row)
            s.last, s.count = t, s.count + 1
        self.counts["frames_with_code"] += bool(codes)
        # A sensor read row by row can hold two frames at once, each in a band of its own.
        numbers = {frame for _, frame in codes}
        self.counts["two_frame_reads"] += any(n + 1 in numbers for n in numbers)

    def sighting(self, frame, tick, t, row):
        latest = self.latest or (frame, tick)
        if (frame > latest[0]) - (frame < latest[0]) != (tick > latest[1]) - (tick < latest[1]):
            self.runs, latest = self.runs + 1, (frame, tick)
        self.runs = self.runs or 1
        self.latest = max(latest, (frame, tick))
        key = (frame, tick)
        if key not in self.seen:
            self.seen[key] = Sighting(frame, tick, self.runs, t, row)
        return self.seen[key]


def read_video(path, ticks, warn):
    """What the video shows: the sightings of each display frame, and its counts."""
    fps, total, frames = decoded_frames(path, warn)
    sightings, scanner = Sightings(ticks), Scanner()
    for t, grey in progress(frames, total):
        sightings.take(t, scanner.scan(grey))
    if not sightings.counts["frames"]:  # FFmpeg opens nearly anything, text too, as a stream of some kind
        raise Unreadable("neither a picture nor a video (no frame decodes)")
    return fps, sightings
