"""Writes a tool's output files all together or not at all.

A report beside a table that belongs to another run misleads more than a
missing one, so every output is written to a temporary file beside it and
renamed into place only once every one has been written; each destination
is checked before the first rename, and a rename that fails anyway puts the
ones already made back as they were. A link is written through, to the
file it names; a device or a pipe, such as /dev/stdout, is written as it
is, after the files, never replaced.
"""
import contextlib
import errno
import os
import stat
import tempfile


class Failed(Exception):
    """A file that cannot be read or written: its name, and why."""


def writable(path):
    """Raises Failed, naming `path`, where an output could not take its place.
    A read-only file is not replaced behind its owner's back."""
    if _device(path):
        if not os.access(path, os.W_OK):
            raise Failed(path, os.strerror(errno.EACCES))
        return
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    if os.path.isdir(path):
        raise Failed(path, os.strerror(errno.EISDIR))
    if not os.path.isdir(folder):
        raise Failed(path, os.strerror(errno.ENOENT))
    read_only = os.path.exists(path) and not (os.stat(path).st_mode & 0o222 and os.access(path, os.W_OK))
    if read_only or not os.access(folder, os.W_OK | os.X_OK):
        raise Failed(path, os.strerror(errno.EACCES))


def _beside(path, tag):
    directory, name = os.path.split(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(prefix=f".{name}.{tag}", suffix=os.path.splitext(name)[1], dir=directory)
    os.close(fd)
    return temp


def _device(path):
    try:
        mode = os.stat(path).st_mode  # through links: /dev/stdout names a pipe by a link that resolves nowhere
    except OSError:
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


def write_all(outputs):
    """Writes each (path, bytes) of `outputs`, all or none; raises Failed naming the file."""
    devices = [(path, data) for path, data in outputs if path and _device(path)]
    outputs = [(os.path.realpath(path), data) for path, data in outputs if path and not _device(path)]
    _write_files(outputs)
    for path, data in devices:
        try:
            with open(path, "wb") as f:
                f.write(data)
        except OSError as e:
            raise Failed(path, e.strerror or str(e))


def _write_files(outputs):
    made, kept, placed = [], {}, []
    try:
        for path, _ in outputs:
            writable(path)
        for path, data in outputs:
            try:
                made.append(_beside(path, "new."))
                with open(made[-1], "wb") as f:
                    f.write(data)
                os.chmod(made[-1], 0o666 & ~_umask())
            except OSError as e:
                raise Failed(path, e.strerror or str(e))
        for path, _ in outputs:  # the folders may have changed while the outputs were made
            writable(path)
        for path, _ in outputs:
            if os.path.exists(path):  # a second name for the old file, to put it back with
                with contextlib.suppress(OSError):
                    os.unlink(backup := _beside(path, "old."))
                    os.link(path, backup)
                    kept[path] = backup
        for temp, (path, _) in zip(made, outputs):
            try:
                os.replace(temp, path)
            except OSError as e:
                for done in reversed(placed):
                    with contextlib.suppress(OSError):
                        os.replace(kept.pop(done), done) if done in kept else os.unlink(done)
                raise Failed(path, e.strerror or str(e))
            placed.append(path)
    finally:
        for temp in made + list(kept.values()):
            with contextlib.suppress(OSError):
                os.unlink(temp)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
