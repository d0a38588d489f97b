"""Marks: named instants that split a run into phases, shared by energy-stat (which writes
them with --mark and reads them with --marks) and power-report --marks.

A marks file is the user's own: one line per mark, CLOCK_MONOTONIC seconds with nine decimals, one
space, then the name (printable text, at most NAME_LIMIT bytes):

    1234.567890123 compile

A phase runs from its mark to the next one (the last to the end of what is reported). A line that is
not a mark is left out and counted; the file is read a line at a time, so its size does not matter.
"""
import os
import re
import stat
import time
from dataclasses import dataclass

NAME_LIMIT = 200
LINE_LIMIT = 4096
LINE = re.compile(r"([0-9]{1,15})\.([0-9]{9}) ([^\x00-\x1f\x7f]+)")


@dataclass
class Mark:
    ns: int  # CLOCK_MONOTONIC nanoseconds
    name: str

    @property
    def seconds(self):
        return self.ns / 1e9


def name_problem(name):
    """Why NAME cannot be a mark's name, or None."""
    if not name or name != name.strip():
        return "a mark's name is not empty and neither starts nor ends with a space"
    if LINE.fullmatch(f"0.000000000 {name}") is None:
        return "a mark's name holds no control characters (no line feed, no tab)"
    if len(name.encode("utf-8", "surrogateescape")) > NAME_LIMIT:
        return f"a mark's name is at most {NAME_LIMIT} bytes"
    return None


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def append_mark(path, name, ns=None):
    """Appends a mark named NAME at CLOCK_MONOTONIC time NS (default: now) to PATH (created 0666 less
    the umask); one write, so that marks of concurrent writers do not interleave. None, or why not."""
    problem = name_problem(name)
    if problem is not None:
        return problem
    ns = now_ns() if ns is None else ns
    line = f"{ns // 1_000_000_000}.{ns % 1_000_000_000:09d} {name}\n".encode("utf-8", "surrogateescape")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC | os.O_NOCTTY, 0o666)
    except OSError as e:
        return f"{path}: {e.strerror}"
    try:
        if os.write(fd, line) != len(line):
            return f"{path}: short write"
    except OSError as e:
        return f"{path}: {e.strerror}"
    finally:
        os.close(fd)
    return None


def parse_line(line):
    """The mark of one line (its line feed removed), or None."""
    m = LINE.fullmatch(line)
    if m is None or m.group(3) != m.group(3).strip():
        return None
    return Mark(int(m.group(1)) * 1_000_000_000 + int(m.group(2)), m.group(3))


class MarkReader:
    """Reads the marks appended to a file since the last call, complete lines only. Starts at the
    file's end (marks made before are not wanted) unless FROM_START."""

    def __init__(self, path, from_start=False):
        self.path, self.offset, self.partial, self.malformed = path, 0, b"", 0
        if not from_start:
            try:
                self.offset = os.stat(path).st_size
            except OSError:
                pass

    def new_marks(self):
        """The marks added since the last call; a file that shrank is read again from its start. An
        unreadable or missing file has no marks (yet)."""
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
        except OSError:
            return []
        marks = []
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                return []
            size = os.fstat(fd).st_size
            if size < self.offset:
                self.offset, self.partial = 0, b""
            os.lseek(fd, self.offset, os.SEEK_SET)
            while block := os.read(fd, 1 << 16):
                self.offset += len(block)
                lines = (self.partial + block).split(b"\n")
                self.partial = lines.pop()
                if len(self.partial) > LINE_LIMIT:
                    self.partial, self.malformed = b"", self.malformed + 1
                for raw in lines:
                    mark = parse_line(raw.decode("utf-8", "replace")) if len(raw) <= LINE_LIMIT else None
                    if mark is None:
                        self.malformed += 1
                    else:
                        marks.append(mark)
        except OSError:
            pass
        finally:
            os.close(fd)
        return marks


def read_marks(path):
    """(every mark of PATH in time order, the number of lines that are not marks), or (None, why)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None, f"{path}: not a regular file"
    except OSError as e:
        return None, f"{path}: {e.strerror}"
    reader = MarkReader(path, from_start=True)
    marks, malformed = reader.new_marks(), reader.malformed
    if reader.partial:  # a last line without its line feed
        last = parse_line(reader.partial.decode("utf-8", "replace"))
        marks, malformed = (marks + [last], malformed) if last else (marks, malformed + 1)
    return sorted(marks, key=lambda m: m.ns), malformed


def phases(marks, end_ns):
    """(name, from ns, to ns) of each phase: from each mark to the next, the last to END_NS."""
    bounds = [m.ns for m in marks[1:]] + [end_ns]
    return [(m.name, m.ns, to) for m, to in zip(marks, bounds)]
