"""Reading a series from the files people have, for the ``vollan`` command.

CSV or plain text as spreadsheets and databases export it (empty cells and missing markers,
thousands separators, decimal commas), and numpy's ``.npy`` and ``.npz``, from a path or from
standard input; the format is told by the first bytes, not by the name.
"""

from __future__ import annotations

import codecs
import csv
import functools
import io
import math
import os
import re
import zipfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from datetime import datetime, time
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "DECIMAL_MARKS",
    "MISSING_MARKERS",
    "InputError",
    "Loaded",
    "load",
    "os_error_sentence",
    "parse_dates",
    "read_bytes",
    "read_number_texts",
    "read_text",
]

# Compared case-blind, after stripping spaces.
MISSING_MARKERS = frozenset({"", "na", "n/a", "nan", "null", "none", "-", "#n/a"})
DECIMAL_MARKS = (".", ",")
# Thousands separators besides the other decimal mark: spaces (plain, no-break, narrow no-break)
# as in French or SI style, and the apostrophe as in Swiss style.
_GROUP_SPACES = frozenset({" ", "\u00a0", "\u202f", "'"})
_NPY_MAGIC = b"\x93NUMPY"
# A zip archive (.npz) starts with its first member, or with the end of the central directory
# when it holds none (np.savez with no arrays).
_ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")
# A header that names time makes its column the labels even when it holds numbers (years).
_TIME_NAMES = frozenset(
    {
        "date", "time", "datetime", "timestamp", "year", "month", "week", "day", "quarter",
        "period", "hour", "ds", "jahr", "datum", "zeit", "fecha", "année", "annee",
    }
)  # fmt: skip


class InputError(ValueError):
    """A problem with the user's input, reported as one line."""


@dataclass(frozen=True)
class Loaded:
    """A series read from a file.

    Attributes
    ----------
    values : numpy.ndarray
        The values as float64, NaN where a value is missing.
    labels : list of str or None
        The cells of the label column, when there is one.
    column : str
        How the value column is named in messages: its quoted header, or its position.
        :attr:`column_name` names it without quotes.
    source : str
        The path, or ``<stdin>``.
    value_name, label_name : str or None
        The headers of the value and label columns, for axis titles.
    """

    values: NDArray[np.float64]
    labels: list[str] | None
    column: str
    source: str
    value_name: str | None = None
    label_name: str | None = None

    @property
    def column_name(self) -> str:
        """The header of the value column (or the key of its array), else its position."""
        return self.value_name if self.value_name is not None else self.column

    @property
    def n_missing(self) -> int:
        return int(np.count_nonzero(np.isnan(self.values)))


def os_error_sentence(exc: OSError, action: str, path: str | os.PathLike[str]) -> str:
    """One plain sentence for an OS error, e.g. "cannot read data: it is a directory"."""
    import errno

    reasons = {
        errno.ENOENT: "there is no such file or directory",
        errno.EISDIR: "it is a directory",
        errno.ENOTDIR: "a part of the path is not a directory",
        errno.EACCES: "permission denied",
        errno.EPERM: "permission denied",
        errno.EROFS: "the file system is read-only",
        errno.ENOSPC: "no space is left on the device",
        errno.ENAMETOOLONG: "the name is too long",
        errno.ELOOP: "the path is a loop of symbolic links",
    }
    reason = reasons.get(exc.errno or 0) or (exc.strerror or type(exc).__name__).lower()
    return f"cannot {action} {os.fspath(path)}: {reason}"


# Numbers ------------------------------------------------------------------------------------


def _plain(cell: str) -> float | None:
    try:
        return float(cell)
    except ValueError:
        return None


def _grouped(cell: str, decimal: str, separators: frozenset[str], strict: bool) -> float | None:
    """``cell`` read with ``decimal`` as decimal mark and any one of ``separators`` between
    groups of three digits (any groups when not ``strict``); None when it is not such a number.
    """
    sign = ""
    if cell[:1] in ("+", "-"):
        sign, cell = cell[0], cell[1:]
    mantissa, e, exponent = cell.replace("E", "e").partition("e")
    if e and not _digits(exponent.removeprefix("+").removeprefix("-")):
        return None
    whole, mark, fraction = mantissa.partition(decimal)
    if mark and not _digits(fraction):
        return None
    marks = {c for c in whole if not ("0" <= c <= "9")}
    if marks:
        if len(marks) != 1 or not marks <= separators:
            return None
        groups = whole.split(marks.pop())
        if not all(_digits(g) for g in groups):
            return None
        if strict and not (
            len(groups[0]) <= 3 and groups[0] != "0" and all(len(g) == 3 for g in groups[1:])
        ):
            return None
        whole = "".join(groups)
    if not whole and not fraction:
        return None
    return float(f"{sign}{whole or '0'}.{fraction or '0'}e{exponent or '0'}")


def _digits(text: str) -> bool:
    return bool(text) and text.isascii() and text.isdigit()


@dataclass(frozen=True)
class _Format:
    """How the numbers of a column are written."""

    decimal: str | None  # None: as Python reads them, and nothing else
    separators: frozenset[str] = frozenset()
    strict: bool = True

    def read(self, cell: str) -> float | None:
        value = _plain(cell) if self.decimal != "," else None
        if value is None and self.decimal is not None:
            value = _grouped(cell, self.decimal, self.separators, self.strict)
        return value

    def hint(self) -> str:
        if self.decimal is None:
            return ""
        if self.decimal == ",":
            return " (read with decimal commas; --decimal . reads decimal points)"
        return " (read with decimal points; --decimal , reads decimal commas)"


_POINT = _Format(".", frozenset({","}) | _GROUP_SPACES)
_COMMA = _Format(",", frozenset({"."}) | _GROUP_SPACES)


def chosen_format(decimal: str | None, thousands: str | None) -> _Format | None:
    """The format the options ask for; None leaves it to :func:`_guess_format`."""
    if decimal is None and thousands is None:
        return None
    if thousands is None:
        return _POINT if decimal == "." else _COMMA
    if decimal is None:
        decimal = "," if thousands == "." else "."
    if thousands == decimal:
        raise InputError(f"the thousands separator and the decimal mark are both {decimal!r}")
    separators = frozenset() if thousands == "none" else frozenset({thousands})
    return _Format(decimal, separators, strict=False)


def _guess_format(
    cells: Sequence[tuple[int, str]],
    where: Callable[[int], str],
    advice: str = "pass --decimal . or --decimal , to say which mark is the decimal one",
) -> tuple[_Format, list[float | None]]:
    """The one way of reading that reads every cell, and the values read.

    Python's own reading comes first, so that every file it reads gives the same values as
    before. Otherwise decimal points (with commas, spaces or apostrophes between thousands)
    and decimal commas (with points, spaces or apostrophes) are tried; when both read every
    cell but to different values, the choice is the user's.
    """
    plain = [_plain(c) for _, c in cells]
    if all(v is not None for v in plain):
        return _Format(None), plain
    point = [_POINT.read(c) for _, c in cells]
    comma = [_COMMA.read(c) for _, c in cells]
    point_fails = sum(v is None for v in point)
    comma_fails = sum(v is None for v in comma)
    if point_fails == 0 and comma_fails == 0:
        for (line, cell), p, c in zip(cells, point, comma, strict=True):
            if p != c:
                raise InputError(f"{where(line)}: {cell!r} may be {p:g} or {c:g}; {advice}")
        return _POINT, point
    if comma_fails < point_fails:
        return _COMMA, comma
    return _POINT, point


def read_number_texts(
    texts: Sequence[str], where: Callable[[int], str], advice: str
) -> list[float | None]:
    """Numbers written as text, read as the command reads a column of a file.

    Markers of :data:`MISSING_MARKERS` are NaN; the other texts are read with the one format
    that reads them all (see :func:`_guess_format`), and None stands for a text that it does
    not read. ``where(i)`` names the text ``i`` in the error for two readings, which ends with
    ``advice``.
    """
    stripped = [t.strip() for t in texts]
    cells = [(i, t) for i, t in enumerate(stripped) if t.casefold() not in MISSING_MARKERS]
    _, read = _guess_format(cells, where, advice)
    values: list[float | None] = [math.nan] * len(texts)
    for (i, _), value in zip(cells, read, strict=True):
        values[i] = value
    return values


def _is_numberish(cell: str) -> bool:
    return (
        cell.casefold() in MISSING_MARKERS
        or _plain(cell) is not None
        or _POINT.read(cell) is not None
        or _COMMA.read(cell) is not None
    )


# Text ---------------------------------------------------------------------------------------


def _sniff_delimiter(line: str, decimal: str | None) -> str | None:
    # A semicolon comes before a comma: files with decimal commas separate cells by semicolons.
    for delimiter in ("\t", ";", ","):
        if delimiter == "," and decimal == ",":
            continue
        if delimiter in line:
            return delimiter
    return None


def _column_index(
    source: str, header: list[str] | None, width: int, column: str | None, what: str = "file"
) -> int:
    if column is None:
        return width - 1
    if column.lstrip("-").isdigit():
        index = int(column)
        if not -width <= index < width:
            columns = "1 column" if width == 1 else f"{width} columns"
            raise InputError(f"{source}: column {index} does not exist; the {what} has {columns}")
        return index % width
    if header is None:
        raise InputError(f"{source}: column {column!r} not found: the {what} has no header row")
    names = [h.strip() for h in header]
    if column not in names:
        raise InputError(
            f"{source}: column {column!r} not found; the header has {', '.join(names)}"
        )
    return names.index(column)


def _label_index(
    rows: list[tuple[int, list[str]]], header: list[str] | None, value_at: int, width: int
) -> int | None:
    """The column of dates, times or text, or one whose header names time; never other numbers.

    Columns are tried left to right. A header such as "year" counts even over numbers, since
    years are written as numbers; a column of numbers without such a header is data.
    """
    others = [j for j in range(width) if j != value_at]
    if header is not None:
        for j in others:
            if header[j].strip().strip("\"'").casefold() in _TIME_NAMES:
                return j
    sample = rows[:200]
    for j in others:
        column_cells = [row[j].strip() for _, row in sample if j < len(row)]
        if any(not _is_numberish(c) for c in column_cells):
            return j
    return None


@dataclass(frozen=True)
class _Layout:
    """Where the values of a text are: its cell delimiter, header and columns."""

    delimiter: str | None  # None: cells apart by spaces
    width: int
    header: list[str] | None
    header_line: int  # the header's line number, 0 without one
    value_at: int
    label_at: int | None

    @property
    def name(self) -> str:
        """The value column in messages: its quoted header, or its position."""
        if self.header is None:
            return str(self.value_at)
        return repr(self.header[self.value_at].strip())

    def names(self) -> tuple[str | None, str | None]:
        """The headers of the value and label columns."""
        if self.header is None:
            return None, None
        names = [h.strip() for h in self.header]
        return names[self.value_at], names[self.label_at] if self.label_at is not None else None


# The rows that tell where the values are: the first (perhaps a header) and the 200 after it
# that the label column is told from.
_LAYOUT_ROWS = 201


def _split_row(line: str, delimiter: str | None) -> list[str]:
    if delimiter is None:
        # One column, or columns apart by spaces; cells may be quoted, as spreadsheets quote
        # numbers written with thousands separators ("1,018.91").
        return _split_quoted(line) if '"' in line else line.split()
    # Each line on its own, as before: a stray quote must not swallow the lines after it.
    return _split(line, delimiter) if '"' in line else line.split(delimiter)


def _layout(
    source: str,
    lines: Sequence[tuple[int, str]],
    column: str | None,
    label_column: str | None,
    decimal: str | None,
) -> _Layout:
    """The layout of a text told from its first non-blank lines (numbered, comments left out)."""
    delimiter = _sniff_delimiter(lines[0][1], decimal)
    rows = [(n, _split_row(line, delimiter)) for n, line in lines[:_LAYOUT_ROWS]]
    first = rows[0][1]
    width = len(first)
    # The first row is a header when the values are chosen by name, or when its cell in the
    # value column is not a number (labels such as "2002-01" may be non-numeric in data rows).
    by_name = column is not None and not column.lstrip("-").isdigit()
    if by_name:
        header: list[str] | None = None if all(_is_numberish(c.strip()) for c in first) else first
    else:
        position = _column_index(source, None, width, column)
        header = None if _is_numberish(first[position].strip()) else first
    if header is not None:
        rows = rows[1:]
    value_at = _column_index(source, header, width, column)
    if label_column is None:
        label_at = _label_index(rows, header, value_at, width)
    elif label_column == "none":
        label_at = None
    else:
        label_at = _column_index(source, header, width, label_column)
    header_line = lines[0][0] if header is not None else 0
    return _Layout(delimiter, width, header, header_line, value_at, label_at)


def read_text(
    text: str,
    source: str,
    column: str | None,
    label_column: str | None,
    *,
    nan_policy: str = "raise",
    decimal: str | None = None,
    thousands: str | None = None,
) -> Loaded:
    """Read a CSV (comma, semicolon or tab) or a plain one-number-per-line text.

    Empty cells and the markers in :data:`MISSING_MARKERS` are missing values: NaN under
    ``nan_policy="omit"``, an error naming the line under "raise". In a text of one column, a
    blank line is such an empty cell (blank lines at the end are not); lines starting with #
    are comments.
    """
    number_format = chosen_format(decimal, thousands)
    if number_format is not None:
        decimal = number_format.decimal
    numbered = [
        (number, line)
        for number, line in enumerate(text.splitlines(), start=1)
        if not line.lstrip().startswith("#")
    ]
    # Blank lines at the end hold no value whose position they could shift.
    while numbered and not numbered[-1][1].strip():
        numbered.pop()
    lines = [(number, line) for number, line in numbered if line.strip()]
    if not lines:
        raise InputError(f"{source}: no values found")
    layout = _layout(source, lines, column, label_column, decimal)
    rows = [(n, _split_row(line, layout.delimiter)) for n, line in lines]
    if layout.header is not None:
        rows = rows[1:]
    width, value_at, label_at = layout.width, layout.value_at, layout.label_at
    if width == 1:
        # One number per line (`cut -f2 file.tsv`): a blank line is an empty cell, a missing
        # value, so that the values after it keep their positions.
        blank = [(n, [""]) for n, line in numbered if n > layout.header_line and not line.strip()]
        rows = sorted(rows + blank) if blank else rows
    name = layout.name

    def where(line: int) -> str:
        return f"{source}:{line}: column {name}"

    cells: list[tuple[int, str]] = []
    labels: list[str] = []
    missing_at: list[int] = []
    for n, row in rows:
        if len(row) <= max(value_at, label_at or 0):
            raise InputError(f"{source}:{n}: expected {width} columns, found {len(row)}")
        cell = row[value_at].strip()
        if cell.casefold() in MISSING_MARKERS:
            if nan_policy != "omit":
                _refuse_missing(where(n), cell)
            missing_at.append(len(labels))
        else:
            cells.append((n, cell))
        labels.append(row[label_at].strip() if label_at is not None else "")
    if not labels:
        raise InputError(f"{source}: no values found")
    if number_format is None:
        number_format, read = _guess_format(cells, where)
    else:
        read = [number_format.read(c) for _, c in cells]
    found = iter(zip(cells, read, strict=True))
    missing = set(missing_at)
    values: list[float] = []
    for i in range(len(labels)):
        if i in missing:
            values.append(math.nan)
            continue
        (n, cell), value = next(found)
        if value is None:
            hint = number_format.hint() if "," in cell or "." in cell else ""
            raise InputError(f"{where(n)}: {cell!r} is not a number{hint}")
        if not math.isfinite(value):
            raise InputError(
                f"{where(n)}: {cell!r} is not a finite number; clean or impute the series first"
            )
        values.append(value)
    value_name, label_name = layout.names()
    return Loaded(
        np.array(values, dtype=np.float64),
        labels if label_at is not None else None,
        name,
        source,
        value_name=value_name,
        label_name=label_name,
    )


# Long texts -----------------------------------------------------------------------------------

# Texts from this size on are read a block at a time, without a Python object per value.
_BLOCKWISE_FROM = 1 << 20
_FIRST_BLOCK = 1 << 16
_BLOCK = 1 << 18
# Lines of plain numbers that numpy's reader may take at once: digits, signs, points, exponents
# and spaces, apart by the delimiter; blank lines are empty cells, which it would skip.
_BLANK_LINE = re.compile(r"^[ \t]*\n", re.MULTILINE)


class _Whole(Exception):
    """The text is left to :func:`read_text`, which reads it whole (and words any error)."""


def _text_blocks(data: bytes, first: int, block: int) -> Iterator[str]:
    """``data`` decoded as UTF-8 (a leading byte-order mark left out), in pieces that end at
    the end of a line: the first from ``first`` bytes, the others from ``block`` bytes."""
    decoder = codecs.getincrementaldecoder("utf-8-sig")()
    view = memoryview(data)
    carry = ""
    start, size = 0, first
    while start < len(data):
        end = start + size
        text = carry + decoder.decode(view[start:end], final=end >= len(data))
        # A line ends after each "\n" however the text splits its lines ("\r\n" included).
        cut = text.rfind("\n") + 1
        if cut:
            yield text[:cut]
            carry = text[cut:]
        else:
            carry = text
        start, size = end, block
    if carry:
        yield carry


class _Blocks:
    """The values of the blocks of a text, read in order as :func:`read_text` reads them.

    Blocks of plain numbers go to numpy's reader, which makes no Python object per value and
    reads a number as ``float`` does (where it reads one at all); the others are read line by
    line. Anything :func:`read_text` would refuse or read otherwise (a cell ``float`` does
    not read, a missing value under "raise", too few columns) raises :class:`_Whole`.
    """

    def __init__(
        self, layout: _Layout, number_format: _Format | None, nan_policy: str, lines: int
    ) -> None:
        self.layout = layout
        self.number_format = number_format
        self.omit = nan_policy == "omit"
        self.line = 1  # the number of the next block's first line
        self.blanks = 0  # blank lines (empty cells of one column) not yet followed by a value
        # At most a value a line: filled in place rather than joined from pieces at the end.
        self.out = np.empty(lines, dtype=np.float64)
        self.size = 0
        delimiter = re.escape(layout.delimiter or "")
        self.plain = re.compile(rf"[0-9eE.+\- \t\n{delimiter}]*")

    def read(self, block: str) -> None:
        if not block.endswith("\n"):
            block += "\n"  # the last line of the text
        # The header's block goes line by line.
        if self.line <= self.layout.header_line or not self._numpy(block):
            self._lines(block)

    def values(self) -> NDArray[np.float64]:
        # Blank lines at the end hold no value whose position they could shift.
        return self.out[: self.size]

    def _put(self, values: Any) -> None:
        end = self.size + len(values)
        if end > len(self.out):  # lines apart by other breaks than "\n" ("\r", "\x0b", ...)
            self.out = np.resize(self.out, max(end, 2 * len(self.out)))
        self.out[self.size : end] = values
        self.size = end

    def _numpy(self, block: str) -> bool:
        plain = block.replace("\r\n", "\n") if "\r" in block else block
        if not self.plain.fullmatch(plain) or _BLANK_LINE.search(plain):
            return False
        try:
            values = np.loadtxt(
                io.StringIO(plain),
                dtype=np.float64,
                comments=None,
                delimiter=self.layout.delimiter,
                usecols=self.layout.value_at,
                ndmin=1,
                encoding=None,
            )
        except ValueError:
            return False
        lines = plain.count("\n")
        if len(values) != lines or not np.isfinite(values).all():
            return False
        if blanks := self._take_blanks():
            self._put(np.full(blanks, np.nan))
        self._put(values)
        self.line += lines
        return True

    def _lines(self, block: str) -> None:
        layout = self.layout
        read = _plain if self.number_format is None else self.number_format.read
        values: list[float] = []
        lines = block.splitlines()
        for n, line in enumerate(lines, start=self.line):
            if n <= layout.header_line or line.lstrip().startswith("#"):
                continue
            if not line.strip():
                self.blanks += layout.width == 1
                continue
            row = _split_row(line, layout.delimiter)
            if len(row) <= layout.value_at:
                raise _Whole
            values.extend([math.nan] * self._take_blanks())
            cell = row[layout.value_at].strip()
            if cell.casefold() in MISSING_MARKERS:
                if not self.omit:
                    raise _Whole
                values.append(math.nan)
                continue
            value = read(cell)
            if value is None or not math.isfinite(value):
                raise _Whole
            values.append(value)
        self.line += len(lines)
        if values:
            self._put(values)

    def _take_blanks(self) -> int:
        """The blank lines before a value: empty cells of one column, so missing values."""
        blanks, self.blanks = self.blanks, 0
        if blanks and not self.omit:
            raise _Whole
        return blanks


def _read_text_blockwise(
    data: bytes,
    source: str,
    column: str | None,
    label_column: str | None,
    *,
    nan_policy: str,
    decimal: str | None,
    thousands: str | None,
    first_block: int = _FIRST_BLOCK,
    block: int = _BLOCK,
) -> Loaded | None:
    """Read the text ``data`` as :func:`read_text` does, a block at a time; None leaves it to
    :func:`read_text`.

    The values come out the same and in the same float64 array; texts that the blocks cannot
    read alike are left whole: a label column, decimal commas, cells that ``float`` does not
    read (the one format must then be told from every cell), and every error, whose order
    :func:`read_text` fixes.
    """
    try:
        number_format = chosen_format(decimal, thousands)
    except InputError:
        return None
    if number_format is not None:
        if number_format.decimal == ",":
            return None
        decimal = number_format.decimal
    pieces = _text_blocks(data, first_block, block)
    head = ""
    try:
        for piece in pieces:
            head += piece
            lines = [
                (n, line)
                for n, line in enumerate(head.splitlines(), start=1)
                if line.strip() and not line.lstrip().startswith("#")
            ]
            if len(lines) > _LAYOUT_ROWS:
                break
        else:
            return None  # a short text
        layout = _layout(source, lines, column, label_column, decimal)
        if layout.label_at is not None:
            return None
        blocks = _Blocks(layout, number_format, nan_policy, data.count(b"\n") + 1)
        blocks.read(head)
        del head, lines
        for piece in pieces:
            blocks.read(piece)
    except (_Whole, InputError, UnicodeDecodeError):
        return None
    values = blocks.values()
    if not len(values):
        return None
    if len(values) < len(blocks.out) // 2:  # many blank or comment lines
        values = values.copy()
    value_name, _ = layout.names()
    return Loaded(values, None, layout.name, source, value_name=value_name)


def _split(line: str, delimiter: str) -> list[str]:
    return next(csv.reader([line], delimiter=delimiter))


def _split_quoted(line: str) -> list[str]:
    # An empty quoted cell stays a cell: pandas writes a missing value of one column as "".
    return next(csv.reader([line.strip()], delimiter=" ", skipinitialspace=True))


def _refuse_missing(where: str, cell: str) -> None:
    advice = "pass --nan-policy omit to leave missing values out of the scan"
    if not cell:
        raise InputError(f"{where} is empty; {advice}, or fill them first")
    if cell.casefold() == "nan":
        raise InputError(f"{where}: {cell!r} is not a finite number; {advice}, or clean or impute")
    raise InputError(f"{where}: {cell!r} marks a missing value; {advice}, or fill them first")


# numpy --------------------------------------------------------------------------------------


def read_npy(data: bytes, source: str, column: str | None, *, nan_policy: str = "raise") -> Loaded:
    """Read a ``.npy`` array, or one array of a ``.npz`` archive (``column`` names it).

    A one-dimensional array is the series (``column`` may only name its one column, 0 or -1);
    of a two-dimensional one, ``column`` (a 0-based position) chooses the column, the last by
    default.
    """
    kind = ".npz" if data.startswith(_ZIP_MAGICS) else ".npy"
    try:
        loaded = np.load(io.BytesIO(data), allow_pickle=False)
    except (ValueError, OSError, EOFError, zipfile.BadZipFile) as exc:
        raise InputError(f"{source}: not a readable {kind} array ({exc})") from None
    name = "0"
    key: str | None = None
    if kind == ".npz":
        with loaded as archive:
            keys = list(archive.files)
            if not keys:
                raise InputError(f"{source}: the .npz archive holds no arrays")
            if len(keys) == 1 and column is None:
                key = keys[0]
            elif column in keys:
                key = column
            else:
                raise InputError(
                    f"{source}: choose one of the arrays {', '.join(keys)} with --column"
                )
            try:
                array = archive[key]
            except (ValueError, OSError, EOFError, zipfile.BadZipFile) as exc:
                raise InputError(f"{source}: array {key!r} is not readable ({exc})") from None
            if not isinstance(array, np.ndarray):  # a member that is no .npy file
                raise InputError(f"{source}: {key!r} in the archive is not a numpy array")
        name, column = repr(key), None
    else:
        array = loaded
    if array.ndim not in (1, 2):
        raise InputError(f"{source}: expected a 1-D or 2-D array, got shape {array.shape}")
    if column is not None and not column.lstrip("-").isdigit():
        raise InputError(
            f"{source}: column {column!r} not found: the columns of an array have no names; "
            "give a 0-based position"
        )
    # A one-dimensional array is a single column, which --column may still name.
    width = array.shape[1] if array.ndim == 2 else 1
    if width == 0:
        raise InputError(f"{source}: the array has no columns (shape {array.shape})")
    index = _column_index(source, None, width, column if column is not None else "-1", "array")
    if array.ndim == 2:
        array, name = array[:, index], str(index) if kind == ".npy" else f"{name}[:, {index}]"
    if array.dtype.kind == "c":
        raise InputError(f"{source}: array of {array.dtype} holds complex numbers, not real ones")
    try:
        values = array.astype(float)
    except (TypeError, ValueError):
        raise InputError(f"{source}: array of {array.dtype} is not numeric") from None
    finite = np.isfinite(values)
    if not finite.all():
        missing = np.isnan(values)
        first = int(np.argmin(finite))
        if missing[first] and nan_policy != "omit":
            raise InputError(
                f"{source}: value {first} is missing (NaN); pass --nan-policy omit to leave "
                "missing values out of the scan, or clean or impute the series first"
            )
        infinite = np.flatnonzero(~finite & ~missing)
        if infinite.size:
            at = int(infinite[0])
            raise InputError(
                f"{source}: value {at} is {values[at]}; clean or impute the series first"
            )
    # An array of an archive is named by its key, as a header names a column.
    value_name = None if key is None else name.replace(repr(key), key, 1)
    return Loaded(np.ascontiguousarray(values), None, name, source, value_name=value_name)


# Files --------------------------------------------------------------------------------------


def read_bytes(
    data: bytes,
    source: str,
    column: str | None,
    label_column: str | None,
    *,
    nan_policy: str = "raise",
    decimal: str | None = None,
    thousands: str | None = None,
    npy: bool = False,
) -> Loaded:
    """Read ``data`` as numpy's format when its first bytes say so (or ``npy``), else as text."""
    if npy or data.startswith((_NPY_MAGIC, *_ZIP_MAGICS)):
        if label_column not in (None, "none"):
            raise InputError(
                f"{source}: a numpy array has no label column; --label-column is for text files"
            )
        return read_npy(data, source, column, nan_policy=nan_policy)
    if len(data) >= _BLOCKWISE_FROM:
        loaded = _read_text_blockwise(
            data,
            source,
            column,
            label_column,
            nan_policy=nan_policy,
            decimal=decimal,
            thousands=thousands,
        )
        if loaded is not None:
            return loaded
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise InputError(
            f"{source}: not a text file (UTF-8 CSV, plain text, .npy or .npz)"
        ) from None
    return read_text(
        text,
        source,
        column,
        label_column,
        nan_policy=nan_policy,
        decimal=decimal,
        thousands=thousands,
    )


def load(
    path: str,
    column: str | None,
    label_column: str | None,
    *,
    stdin: Any = None,
    **options: Any,
) -> Loaded:
    """Read the file at ``path``, or ``stdin`` when ``path`` is "-"."""
    if path == "-":
        if stdin is None:
            raise InputError("standard input is closed; give a file instead of '-'")
        buffer = getattr(stdin, "buffer", None)
        if buffer is not None:
            data = buffer.read()
        else:  # a text stream without bytes beneath (e.g. io.StringIO)
            text = stdin.read()
            data = text.encode("utf-8") if isinstance(text, str) else text
        return read_bytes(data, "<stdin>", column, label_column, **options)
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except OSError as exc:
        raise InputError(os_error_sentence(exc, "read", path)) from None
    return read_bytes(
        data, path, column, label_column, npy=path.endswith((".npy", ".npz")), **options
    )


# Dates --------------------------------------------------------------------------------------

_DATE_FORMATS = (
    "%Y-%m",
    "%Y/%m/%d",
    "%Y/%m",
    "%d.%m.%Y",
    "%m/%d/%Y",
    "%d/%m/%Y",
    "%b %Y",
    "%B %Y",
    "%Y",
)
_YEAR = re.compile(r"\d{4}")


def _strptime(text: str, fmt: str) -> datetime:
    return datetime.strptime(text, fmt)


def _time_of_day(text: str) -> datetime:
    # Only hh:mm[:ss[.f]]: the ISO reader alone would take "2002-01" for 20:02 at UTC-01.
    if not re.fullmatch(r"\d{1,2}:\d{2}(:\d{2}(\.\d+)?)?", text):
        raise ValueError(f"{text!r} is not a time of day")
    return datetime.combine(
        datetime(1900, 1, 1), time.fromisoformat(text if text.index(":") == 2 else "0" + text)
    )


def parse_dates(labels: Sequence[str]) -> list[datetime] | None:
    """``labels`` as dates or times when one format reads them all, in increasing order.

    ISO 8601 dates and times come first, then a few common spreadsheet formats; years alone
    count when every label is four digits. None when no format reads them all, or when they
    do not increase (they are then no time axis).
    """
    if not labels:
        return None
    readers: list[Callable[[str], datetime]] = [datetime.fromisoformat, _time_of_day]
    for fmt in _DATE_FORMATS:
        if fmt == "%Y" and not all(_YEAR.fullmatch(label) for label in labels):
            continue
        readers.append(functools.partial(_strptime, fmt=fmt))
    for reader in readers:
        try:
            dates = [reader(label) for label in labels]
        except ValueError:
            continue
        if any(d.tzinfo is not None for d in dates) and any(d.tzinfo is None for d in dates):
            return None
        if all(a < b for a, b in zip(dates[:-1], dates[1:], strict=False)):
            return dates
        return None
    return None
