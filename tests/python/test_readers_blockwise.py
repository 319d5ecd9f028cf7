"""Long text files are read a block at a time, to the same values and errors as read whole.

The whole-text reader (:func:`vollan._readers.read_text`) is the reference: the block-wise
reader must give its values bit for bit, whatever the block sizes (blocks ending inside lines,
headers, blank lines, comments, missing markers, Windows line ends), or leave the text to it;
errors always come from it, so they name the same line.
"""

from __future__ import annotations

import tracemalloc

import numpy as np
import pytest

from vollan import _readers
from vollan._readers import InputError, read_bytes, read_text

NUMBER_FORMS = ("{:.6f}", "{:.3e}", "{:+.2f}", "{:.17g}", "{:.0f}.", ".{:.0f}", "{:.2E}")


def random_text(rng: np.random.Generator, *, clean: bool) -> tuple[str, dict]:
    """A text of one to three columns as exports write them; ``clean`` leaves out everything
    but plain numbers (and the header), so that the block-wise reader must take it."""
    delimiter = rng.choice(["", ",", ";", "\t"])
    width = int(rng.integers(1, 4))
    header = bool(rng.integers(2))
    end = str(rng.choice(["\n", "\r\n", "\r"], p=[0.45, 0.45, 0.1]))
    lines = []
    if header:
        lines.append((delimiter or " ").join(f"col{j}" for j in range(width)))
    for _ in range(int(rng.integers(250, 900))):
        cells = []
        for _ in range(width):
            form = NUMBER_FORMS[int(rng.integers(len(NUMBER_FORMS)))]
            value = rng.normal(0, 50)
            cell = form.format(abs(value) if form.startswith(".") else value)
            if not clean and rng.random() < 0.02:
                cell = str(rng.choice(["", "NA", "nan", "-", "null", "1_000", " 7 "]))
            cells.append(cell)
        line = (delimiter or " ").join(cells)
        if not clean:
            draw = rng.random()
            if draw < 0.02:
                line = ""
            elif draw < 0.03:
                line = "# a comment"
            elif draw < 0.035:
                line = "   "
        lines.append(line)
    if not clean and rng.random() < 0.5:
        lines += [""] * int(rng.integers(1, 4))
    text = end.join(lines) + (end if rng.integers(2) else "")
    options = {"column": None, "label_column": None}
    if width > 1 and rng.random() < 0.5:
        options["column"] = str(int(rng.integers(-width, width)))
    return text, options


def whole(text: str, **options):
    try:
        return read_text(text, "f.csv", nan_policy="omit", **options)
    except InputError as exc:
        return str(exc)


def blockwise(data: bytes, rng: np.random.Generator, **options):
    return _readers._read_text_blockwise(
        data,
        "f.csv",
        nan_policy="omit",
        decimal=None,
        thousands=None,
        first_block=int(rng.integers(1, 300)),
        block=int(rng.integers(1, 3000)),
        **options,
    )


def assert_same(found, expected) -> None:
    assert not isinstance(expected, str), expected
    assert found.values.dtype == np.float64
    np.testing.assert_array_equal(found.values.view(np.int64), expected.values.view(np.int64))
    assert (found.labels, found.column, found.source, found.value_name, found.label_name) == (
        expected.labels,
        expected.column,
        expected.source,
        expected.value_name,
        expected.label_name,
    )


@pytest.mark.parametrize("seed", range(40))
def test_plain_numbers_read_in_blocks_as_read_whole(seed):
    rng = np.random.default_rng(seed)
    text, options = random_text(rng, clean=True)
    found = blockwise(text.encode(), rng, **options)
    assert found is not None
    assert_same(found, whole(text, **options))


def test_untidy_texts_read_in_blocks_as_read_whole_or_are_left_to_it():
    taken = 0
    for seed in range(80):
        rng = np.random.default_rng(1000 + seed)
        text, options = random_text(rng, clean=False)
        expected = whole(text, **options)
        found = blockwise(("\ufeff" + text).encode(), rng, **options)
        if found is not None:
            assert_same(found, expected)
            taken += 1
    # Blank lines, comments and missing markers are read line by line in their blocks; only
    # cells float() does not read, missing values under "raise" and short rows are left whole.
    assert taken >= 20, taken


def long_column(n: int, rng: np.random.Generator) -> list[str]:
    return [f"{v:.9f}" for v in rng.normal(size=n)]


def test_blank_lines_and_markers_are_missing_values_across_blocks():
    rng = np.random.default_rng(5)
    cells = long_column(3000, rng)
    for at in (0, 1, 500, 501, 502, 1700):
        cells[at] = ""
    cells[900] = "NA"
    cells[901] = "  nan "
    text = "value\n" + "\n".join(cells) + "\n\n\n"
    expected = read_text(text, "f.csv", None, None, nan_policy="omit")
    assert int(np.isnan(expected.values).sum()) == 8
    for first, block in ((7, 13), (64, 100), (1 << 16, 1 << 20)):
        found = _readers._read_text_blockwise(
            text.encode(), "f.csv", None, None, nan_policy="omit", decimal=None,
            thousands=None, first_block=first, block=block,
        )  # fmt: skip
        assert found is not None
        assert_same(found, expected)


@pytest.mark.parametrize(
    ("bad", "message"),
    [
        ("abc", "f.csv:2602: column 'value': 'abc' is not a number"),
        ("inf", "f.csv:2602: column 'value': 'inf' is not a finite number"),
        ("", "f.csv:2602: column 'value' is empty; pass --nan-policy omit"),
        ("NA", "f.csv:2602: column 'value': 'NA' marks a missing value"),
    ],
)
def test_errors_of_a_long_text_name_the_same_line(bad, message):
    cells = long_column(150_000, np.random.default_rng(6))
    cells[2600] = bad
    data = ("value\n" + "\n".join(cells) + "\n").encode()
    assert len(data) >= _readers._BLOCKWISE_FROM
    with pytest.raises(InputError) as whole_error:
        read_text(data.decode(), "f.csv", None, None, nan_policy="raise")
    with pytest.raises(InputError) as error:
        read_bytes(data, "f.csv", None, None, nan_policy="raise")
    assert str(error.value) == str(whole_error.value)
    assert str(error.value).startswith(message)


@pytest.mark.parametrize("kind", ["labels", "decimal commas"])
def test_a_long_column_with_a_label_column_or_decimal_commas_is_read_whole(kind):
    cells = long_column(600, np.random.default_rng(8))
    if kind == "labels":
        days = (f"2020-01-{1 + i % 28:02d}" for i in range(len(cells)))
        text = "day,value\n" + "\n".join(f"{d},{v}" for d, v in zip(days, cells, strict=True))
        options = {}
    else:
        text = "\n".join(c.replace(".", ",") for c in cells)
        options = {"decimal": ","}
    data = text.encode()
    left = _readers._read_text_blockwise(
        data, "f.csv", None, None, nan_policy="omit", decimal=options.get("decimal"),
        thousands=None, first_block=100, block=1000,
    )  # fmt: skip
    assert left is None
    expected = read_text(text, "f.csv", None, None, nan_policy="omit", **options)
    assert_same(read_bytes(data, "f.csv", None, None, nan_policy="omit", **options), expected)


def test_a_long_column_is_read_without_a_python_object_per_value():
    n = 300_000
    data = ("value\n" + "\n".join(long_column(n, np.random.default_rng(9))) + "\n").encode()
    tracemalloc.start()
    try:
        loaded = read_bytes(data, "f.csv", None, None, nan_policy="omit")
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(loaded.values) == n
    # The values (8 bytes each) and a block of text or two: read whole, the lines, cells and
    # floats took over 150 bytes a value.
    assert peak < 8 * n + 4 * 2**20, peak


@pytest.mark.parametrize(
    "data", [b"1\n2\n3\n", b"value\n1.5\n\n2\n", b"\x93NUMPY"], ids=["text", "blank", "npy"]
)
def test_values_are_float64_arrays_for_every_format(data):
    if data.startswith(b"\x93NUMPY"):
        import io

        buffer = io.BytesIO()
        np.save(buffer, np.array([1, 2, 3], dtype=np.int32))
        data = buffer.getvalue()
    loaded = read_bytes(data, "f", None, None, nan_policy="omit")
    assert isinstance(loaded.values, np.ndarray) and loaded.values.dtype == np.float64
    assert loaded.n_missing == int(np.isnan(loaded.values).sum())
