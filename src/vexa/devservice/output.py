"""Splitting a job's output into lines: only at newlines, never inside a character."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Line:
    """A line of output without its newline; `dropped` bytes of it past the line limit were not kept."""

    data: bytes
    dropped: int = 0

    def text(self) -> str:
        text = self.data.decode("utf-8", "replace")
        if self.dropped:
            text += f" [line cut: {self.dropped} more bytes not kept]"
        return text


def trim_partial_character(data: bytes) -> bytes:
    """`data` without a UTF-8 sequence cut off at its end (other bytes are left as they are)."""
    for back in range(1, min(4, len(data)) + 1):
        byte = data[-back]
        if byte & 0xC0 != 0x80:  # not a continuation byte: a lead byte or ASCII
            if byte >= 0xF0:
                needed = 4
            elif byte >= 0xE0:
                needed = 3
            elif byte >= 0xC0:
                needed = 2
            else:
                needed = 1
            return data[:-back] if needed > back else data
    return data


class LineSplitter:
    """Fed chunks of a byte stream, gives its lines.

    A line ends at b"\\n" (a b"\\r" before it goes too). A line longer than
    `max_line_bytes` keeps its first bytes, cut back to a whole character, and
    counts the rest as dropped; memory stays within `max_line_bytes` however
    long the line is.
    """

    def __init__(self, max_line_bytes: int) -> None:
        self.max_line_bytes = max_line_bytes
        self._head = bytearray()
        self._dropped = 0

    def feed(self, chunk: bytes) -> list[Line]:
        lines = []
        start = 0
        while start < len(chunk):
            newline = chunk.find(b"\n", start)
            end = len(chunk) if newline < 0 else newline
            room = self.max_line_bytes - len(self._head)
            if room > 0:
                self._head += chunk[start : min(end, start + room)]
            self._dropped += max(0, end - start - max(room, 0))
            if newline < 0:
                break
            lines.append(self._take())
            start = newline + 1
        return lines

    def close(self) -> list[Line]:
        """The last line, if the stream did not end with a newline."""
        return [self._take()] if self._head or self._dropped else []

    def _take(self) -> Line:
        data = bytes(self._head)
        dropped = self._dropped
        if dropped:
            kept = trim_partial_character(data)
            dropped += len(data) - len(kept)
            data = kept
        elif data.endswith(b"\r"):
            data = data[:-1]
        self._head.clear()
        self._dropped = 0
        return Line(data, dropped)
