"""Walks a video frame by frame, and keeps the display frames its codes show, told apart by run.

It decodes with PyAV and notices a clip cut short."""
import os
import re
import sys

from quorvel.scan import Scanner, Unreadable, parsed


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


# The packets kept to decode the last picture again, from the last keyframe on, at most.
TAIL_BYTES = 64 << 20


def padded(packet):
    """Whether a transport packet's adaptation field holds stuffing: longer than
    the fields its flags announce, or announcing none. A muxer pads out the last
    packet of a PES so where the PES leaves room in it, and no other packet."""
    length = packet[4] if packet[3] & 0x20 else -1
    if length <= 0:
        return length == 0  # a field of its length byte alone is one byte of stuffing
    flags = packet[5]
    fields = 1 + 6 * bool(flags & 0x10) + 6 * bool(flags & 0x08) + bool(flags & 0x04)
    for flag in (0x02, 0x01):  # private data, then an extension, each after its length
        if flags & flag and length > fields:
            fields += 1 + packet[5 + fields]
    return length > fields or not flags


def ends_padded(path, pid):
    """Whether the file's last transport packet of `pid` is padded, which closes
    the last PES: a video PES usually states no length and ends only where the
    next one starts, which for a file's last PES never comes. False where the
    file's last MiB holds no packet of `pid`."""
    with open(path, "rb") as f:
        f.seek(max(0, os.path.getsize(path) - (1 << 20)))
        tail = f.read()
    # Blu-ray's transport streams put 4 bytes before each packet of 188.
    stride = 188 if all(tail[-188 - k * 188] == 0x47 for k in range(min(8, len(tail) // 188))) else 192
    for end in range(len(tail), 187, -stride):
        packet = tail[end - 188:end]
        if packet[0] == 0x47 and (packet[1] & 0x1F) << 8 | packet[2] == pid:
            return padded(packet)
    return False


def from_last_keyframe(packets):
    """The packets from the last keyframe on; None where there is none, or where
    they take more than TAIL_BYTES."""
    tail, size = None, 0
    for packet in packets:
        if packet.is_keyframe:
            tail, size = [], 0
        size += packet.size
        if size > TAIL_BYTES:
            tail = None
        elif tail is not None and packet.size:
            tail.append(packet)
    return tail


def decodes_whole(codec, packets):
    """Whether `packets`, a keyframe and those after it, decode on one thread
    with no error and no picture marked corrupt. Decoding with frame threads,
    a picture can be handed on before its own thread has marked it, so a cut
    last picture may come out unmarked; and where the decoder would conceal an
    error it is asked to say so instead."""
    import av
    decoder = av.CodecContext.create(codec.name, "r")
    decoder.extradata, decoder.thread_count = codec.extradata, 1
    decoder.options = {"skip_loop_filter": "all", "err_detect": "explode"}
    try:
        return not any(frame.is_corrupt for packet in packets + [None] for frame in decoder.decode(packet))
    except av.FFmpegError:
        return False


def last_picture_cut(path):
    """Whether an MPEG transport stream ends inside a picture, as one cut on a
    packet boundary does: its last PES is left open, and its last picture does
    not decode whole. Cut between two pictures, it is a whole stream."""
    import av
    with av.open(path) as container:
        stream = container.streams.video[0]
        if ends_padded(path, stream.id):
            return False
        tail = from_last_keyframe(container.demux(stream))
        return tail is not None and not decodes_whole(stream.codec_context, tail)


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
    ts = container.format.name == "mpegts"
    torn = ts and all(os.path.getsize(path) % size for size in (188, 192))
    fps = float(stream.guessed_rate or stream.average_rate or 0)

    def frames():
        n, t, problem = 0, 0.0, "it ends inside a transport packet" if torn else None
        try:
            for frame in container.decode(stream):
                t = float(frame.time) if frame.time is not None else n / (fps or 1)
                problem = problem or ("a frame decodes corrupt" if frame.is_corrupt else None)
                yield t, luma(frame)
                n += 1
            # Cut on a packet boundary, it states nothing: its last picture, left incomplete, says it.
            if not problem and ts and not torn and last_picture_cut(path):
                problem = "its last picture is cut"
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


# No quorvel draws a frame in less: 50000 frames a second.
MIN_FRAME_US = 20


class Run:
    """One run of quorvel as the video shows it: its codes' frame numbers
    and ticks step forward together, in step with the video's timeline."""

    # Up to this many codes back, the one least late is the reference for the next.
    RECENT = 8

    def __init__(self, number, first):
        self.number, self.first, self.latest, self.recent = number, first, first, [first]

    def ratio(self):
        """Video seconds a display second, from the run's first code to its
        latest; None until its ticks span half a second, below which a frame
        seen one video frame late would change it by a fifth or more."""
        span = (self.latest.tick - self.first.tick) / 1e6
        return (self.latest.first - self.first.first) / span if span >= 0.5 else None

    def fits(self, frame, tick, t):
        """Whether a code first seen at `t` continues this run: its frame number
        and tick step forward from the run's latest, the tick by MIN_FRAME_US
        at least for each frame (a window opened long before shows frame
        numbers far ahead at nearly the same tick), and the clock ratio the
        step implies, video seconds over tick seconds, is within a factor of 2
        of the run's, give or take a quarter of a second of ticks ahead (a
        frame seen a video frame late is the reference, one seen early is not)
        and 2 s behind (a display that froze shows a frame drawn before it
        froze that late). Before the ratio is known it may be anything from
        1/2 to 16, as a slow-motion export runs 4 or 8 times slower than the
        display. The reference is the least late of the run's recent codes,
        so a frame shown late after a freeze is none."""
        if frame <= self.latest.frame or tick - self.latest.tick < MIN_FRAME_US * (frame - self.latest.frame):
            return False
        ratio = self.ratio()
        low, high = (ratio / 2, ratio * 2) if ratio and ratio > 0 else (0.5, 16)
        ref = max(self.recent, key=lambda s: s.tick / 1e6 - s.first / (ratio or 1))
        ticks, video = (tick - ref.tick) / 1e6, t - ref.first
        return ticks <= video / low + 0.25 and video / high <= ticks + 2

    def add(self, sighting):
        self.latest, self.recent = sighting, (self.recent + [sighting])[-self.RECENT:]


class Sightings:
    """The display frames seen, keyed by (frame, tick), each in its run. A
    code seen before stays in its run. A new one continues the run it fits
    (see Run.fits), the one whose latest frame number it follows most
    closely where two or more fit, as two windows in view each continue
    their own; a code that fits none starts a run, so a run is never empty:
    frame 1 of run 2 after frame 300 of run 1, or a run filmed seconds late,
    whose ticks ran far ahead of the video."""

    # Runs looked at for each new code, most recently continued first: shuffled footage makes
    # a run of nearly every code, and a long clip would otherwise compare each with all of them.
    CANDIDATES = 8

    def __init__(self, ticks):
        self.ticks, self.seen, self.all, self.active = ticks, {}, [], []
        self.alternate = False  # a code of an earlier run seen after a later run began
        self.counts = {"frames": 0, "frames_with_code": 0, "bad_reads": 0, "two_frame_reads": 0}

    @property
    def runs(self):
        return len(self.all)

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
        numbers = set()
        for (tick, frame), row in sorted(codes.items(), key=lambda c: c[0][0]):
            s = self.sighting(frame, tick, t, row)
            s.last, s.count = t, s.count + 1
            self.alternate = self.alternate or s.run < self.runs
            numbers.add((s.run, frame))
        self.counts["frames_with_code"] += bool(codes)
        # A sensor read row by row can hold two frames of one run at once, each in a band of its own.
        self.counts["two_frame_reads"] += any((run, n + 1) in numbers for run, n in numbers)

    def sighting(self, frame, tick, t, row):
        if (frame, tick) in self.seen:
            return self.seen[(frame, tick)]
        fitting = [run for run in self.active if run.fits(frame, tick, t)]
        run = min(fitting, key=lambda run: frame - run.latest.frame) if fitting else None
        s = self.seen[(frame, tick)] = Sighting(frame, tick, run.number if run else self.runs + 1, t, row)
        if run:
            run.add(s)
            self.active.remove(run)
        else:
            self.all.append(run := Run(self.runs + 1, s))
        self.active = [run] + self.active[:self.CANDIDATES - 1]
        return s


def read_video(path, ticks, warn):
    """What the video shows: the sightings of each display frame, and its counts."""
    fps, total, frames = decoded_frames(path, warn)
    sightings, scanner = Sightings(ticks), Scanner()
    for t, grey in progress(frames, total):
        for when, found in scanner.scan(t, grey):
            sightings.take(when, found)
    for when, found in scanner.flush():
        sightings.take(when, found)
    if not sightings.counts["frames"]:  # FFmpeg opens nearly anything, text too, as a stream of some kind
        raise Unreadable("neither a picture nor a video (no frame decodes)")
    return fps, sightings
