"""Command line of vordex: look at a posterior marginal without writing code.

    python3 -m vordex summary [FILE] [--hpd P ...] [--json]
    python3 -m vordex quantile FILE P ...
    python3 -m vordex cdf FILE Q ...
    python3 -m vordex sample FILE N [--seed S]
    python3 -m vordex plot [FILE] -o OUT.png [--width W] [--height H] [--dpi D]

A marginal is read from FILE: CSV or whitespace-separated text with two
columns x and density (an optional header line such as ``x,y``; blank lines
and lines starting with ``#`` are skipped), a ``.npy`` array of shape (n, 2),
or JSON ``{"x": [...], "y": [...]}`` (a list of [x, y] pairs works too).
``-`` reads standard input.  ``summary`` and ``plot`` without FILE use the
example marginal that ships with the package.

Every number comes from the native toolkit ``vordex.pure.densitykit``; this
module only reads files, checks the command line and formats the results.
A user's mistake (missing or unreadable file, a marginal the toolkit
rejects, a probability outside [0, 1]) prints one line to standard error and
exits with status 2.

NumPy, the toolkit and matplotlib are imported only when a command runs, so
``import vordex.cli`` and ``--help`` stay light.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import sys
from dataclasses import dataclass
from typing import Any, List, Optional, Sequence, Tuple

EXIT_USAGE = 2
EXAMPLE_NAME = "example_marginal.csv"
INSTALL_MATPLOTLIB = "apt-get install python3-matplotlib"
SAMPLE_BLOCK = 65536  # draws formatted and written together by `sample`
SAMPLE_DRAW_BLOCK = 1 << 22  # draws made together by `sample`
MAX_INPUT_BYTES = 256 << 20  # a marginal's file is read whole: at most 256 MiB
MAX_DRAWS = 10 ** 9  # `sample` N at most (8 GB of draws)


class UserError(Exception):
    """A mistake in the user's input: reported as one line, exit status 2."""


# --------------------------------------------------------------------------------------------
# Reading a marginal


@dataclass
class LoadedMarginal:
    xy: Any            # float64 ndarray of shape (n, 2): column 0 positions, column 1 densities
    source: str        # how to name the input in messages and titles
    x_name: str = "x"  # column names from a header line, used as axis labels
    y_name: str = "density"


def _example_bytes() -> bytes:
    import importlib.resources

    res = importlib.resources.files("vordex").joinpath("data", EXAMPLE_NAME)
    try:
        return res.read_bytes()
    except OSError as exc:
        raise UserError(f"the bundled example marginal data/{EXAMPLE_NAME} is missing "
                        f"from this installation ({exc.strerror or exc})") from None


def _read_capped(fh, source: str) -> bytes:
    """All of a stream, refusing one longer than MAX_INPUT_BYTES (an endless
    source such as /dev/zero included) instead of filling the memory."""
    chunks, size = [], 0
    try:
        while True:  # in pieces: a small file needs no large buffer
            chunk = fh.read(1 << 20)
            if chunk is None:  # a non-blocking stream with nothing to read yet: wait for more
                import select

                select.select([fh], [], [])
                continue
            if not chunk:  # the end
                break
            chunks.append(chunk)
            size += len(chunk)
            if size > MAX_INPUT_BYTES:
                raise UserError(f"{source}: larger than {MAX_INPUT_BYTES >> 20} MiB, too large for a marginal")
        return b"".join(chunks)
    except MemoryError:
        raise UserError(f"{source}: does not fit in memory") from None


def _read_source(path: Optional[str]) -> Tuple[bytes, str]:
    """Raw bytes of FILE, of standard input for '-', of the bundled example for None."""
    if path is None:
        return _example_bytes(), f"example marginal ({EXAMPLE_NAME})"
    if path == "-":
        if sys.stdin is None:
            raise UserError("standard input is closed")
        try:
            return _read_capped(sys.stdin.buffer, "<stdin>"), "<stdin>"
        except OSError as exc:
            raise UserError(f"<stdin>: cannot read: {exc.strerror or exc}") from None
    try:
        with open(path, "rb") as fh:
            return _read_capped(fh, path), path
    except FileNotFoundError:
        raise UserError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise UserError(f"{path}: is a directory, not a file") from None
    except PermissionError:
        raise UserError(f"{path}: permission denied") from None
    except OSError as exc:
        raise UserError(f"{path}: cannot read: {exc.strerror or exc}") from None


def _number(token: str, where: str) -> float:
    try:
        return float(token)
    except ValueError:
        raise UserError(f"{where}: cannot read {token!r} as a number") from None


def _parse_text(text: str, source: str) -> LoadedMarginal:
    """Two columns separated by commas, semicolons or white space; optional header."""
    import numpy as np

    rows: List[Tuple[float, float]] = []
    names: Optional[Tuple[str, str]] = None
    swap = False
    delim: Optional[str] = None
    first = True
    for lineno, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if delim is None:
            delim = "," if "," in line else (";" if ";" in line else "")
        fields = [f.strip().strip('"').strip("'").strip() for f in
                  (line.split(delim) if delim else line.split())]
        where = f"{source}: line {lineno}"
        if len(fields) != 2:
            raise UserError(f"{where}: expected 2 columns (x and density), found {len(fields)}")
        if first:
            first = False
            try:
                rows.append((float(fields[0]), float(fields[1])))
            except ValueError:
                # A header line: column names, or the file is not a table at all.
                lowered = [f.lower() for f in fields]
                if any(not f for f in fields) or any(_looks_numeric(f) for f in fields):
                    raise UserError(f"{where}: cannot read {line!r} as two numbers or a header")
                if lowered == ["y", "x"]:
                    swap = True
                    names = (fields[1], fields[0])
                else:
                    names = (fields[0], fields[1])
            continue
        rows.append((_number(fields[0], where), _number(fields[1], where)))
    if not rows:
        raise UserError(f"{source}: contains no data points")
    xy = np.array(rows, dtype=float)
    if swap:
        xy = xy[:, ::-1].copy()
    out = LoadedMarginal(xy, source)
    if names is not None:
        out.x_name, out.y_name = names
    return out


def _looks_numeric(token: str) -> bool:
    try:
        float(token)
    except ValueError:
        return False
    return True


def _parse_npy(data: bytes, source: str) -> LoadedMarginal:
    import numpy as np

    try:
        # The header's shape against the bytes that follow it, before an array
        # of that shape is allocated.
        fh = io.BytesIO(data)
        version = np.lib.format.read_magic(fh)
        read_header = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                       else np.lib.format.read_array_header_2_0)
        shape, _, dtype = read_header(fh)
        if not dtype.hasobject and math.prod(shape) * dtype.itemsize > len(data) - fh.tell():
            raise ValueError(f"its header announces shape {shape} of {dtype}, more than the file holds")
        arr = np.lib.format.read_array(io.BytesIO(data), allow_pickle=False)
    except (ValueError, TypeError, OSError, EOFError) as exc:
        reason = " ".join(str(exc).split())  # one line
        raise UserError(f"{source}: not a readable .npy file ({reason})") from None
    except MemoryError:
        raise UserError(f"{source}: the array does not fit in memory") from None
    if arr.dtype.names and {"x", "y"} <= set(arr.dtype.names):
        if arr.ndim != 1:
            raise UserError(f"{source}: a record array with fields x and y must be "
                            f"one-dimensional, got shape {arr.shape}")
        cols = (arr["x"], arr["y"])
        if any(c.dtype.kind not in "biuf" for c in cols):
            raise UserError(f"{source}: the fields x and y must hold real numbers")
    else:
        if arr.dtype.kind not in "biuf":
            raise UserError(f"{source}: the array holds {arr.dtype} values, not real numbers")
        if arr.ndim != 2 or arr.shape[1] != 2:
            hint = " (transpose it: columns must be x and density)" \
                if arr.ndim == 2 and arr.shape[0] == 2 else ""
            raise UserError(f"{source}: the array has shape {arr.shape}, expected (n, 2){hint}")
        cols = (arr[:, 0], arr[:, 1])
    try:
        xy = np.column_stack([np.asarray(c, dtype=float) for c in cols])
    except (TypeError, ValueError):
        raise UserError(f"{source}: the fields x and y must hold real numbers") from None
    if xy.shape[0] == 0:
        raise UserError(f"{source}: contains no data points")
    return LoadedMarginal(xy, source)


def _json_numbers(values: Any, what: str, source: str) -> List[float]:
    if not isinstance(values, list):
        raise UserError(f"{source}: {what} must be a list of numbers")
    out = []
    for i, v in enumerate(values):
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            raise UserError(f"{source}: {what}[{i}] is {json.dumps(v)}, not a number")
        try:
            out.append(float(v))
        except OverflowError:
            raise UserError(f"{source}: {what}[{i}] is too large for a floating-point number") from None
    return out


def _parse_json(text: str, source: str) -> LoadedMarginal:
    import numpy as np

    try:
        doc = json.loads(text)
    except ValueError as exc:
        raise UserError(f"{source}: not valid JSON ({exc})") from None
    except RecursionError:
        raise UserError(f"{source}: not a marginal: its JSON is nested too deeply") from None
    if isinstance(doc, dict):
        missing = [k for k in ("x", "y") if k not in doc]
        if missing:
            raise UserError(f"{source}: the JSON object needs the keys \"x\" and \"y\" "
                            f"(missing {', '.join(repr(k) for k in missing)})")
        x = _json_numbers(doc["x"], '"x"', source)
        y = _json_numbers(doc["y"], '"y"', source)
        if len(x) != len(y):
            raise UserError(f"{source}: \"x\" has {len(x)} values but \"y\" has {len(y)}")
    elif isinstance(doc, list):
        x, y = [], []
        for i, pair in enumerate(doc):
            if not isinstance(pair, list) or len(pair) != 2:
                raise UserError(f"{source}: item {i} is not an [x, y] pair")
            px, py = _json_numbers(pair, f"item {i}", source)
            x.append(px)
            y.append(py)
    else:
        raise UserError(f"{source}: expected a JSON object {{\"x\": [...], \"y\": [...]}}")
    if not x:
        raise UserError(f"{source}: contains no data points")
    return LoadedMarginal(np.column_stack([np.asarray(x, dtype=float),
                                           np.asarray(y, dtype=float)]), source)


def load_marginal(path: Optional[str]) -> LoadedMarginal:
    """Read a marginal from a file name, '-' (standard input) or None (bundled example).

    The format follows the suffix (.npy, .json); any other name, and standard
    input, is recognised by its content: the .npy magic bytes, a JSON
    document starting with '{' or '[', otherwise a two-column text table.
    """
    data, source = _read_source(path)
    suffix = os.path.splitext(path or "")[1].lower() if path not in (None, "-") else ""
    if suffix == ".npy" or (suffix != ".json" and data.startswith(b"\x93NUMPY")):
        return _parse_npy(data, source)
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise UserError(f"{source}: not a text table, .npy array or JSON document "
                        f"(undecodable bytes)") from None
    if "\x00" in text:
        raise UserError(f"{source}: not a text table, .npy array or JSON document (binary data)")
    if suffix == ".json" or text.lstrip()[:1] in ("{", "["):
        return _parse_json(text, source)
    return _parse_text(text, source)


# --------------------------------------------------------------------------------------------
# Argument types


def _float_arg(text: str, what: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not {what}") from None


def _probability(text: str) -> float:
    p = _float_arg(text, "a probability")
    if not 0.0 <= p <= 1.0:  # also refuses nan
        raise argparse.ArgumentTypeError(f"probability must lie in [0, 1], got {text}")
    return p


def _hpd_content(text: str) -> float:
    p = _float_arg(text, "a probability")
    if not 0.0 < p <= 1.0:
        raise argparse.ArgumentTypeError(f"HPD content must lie in (0, 1], got {text}")
    return p


def _real(text: str) -> float:
    q = _float_arg(text, "a number")
    if math.isnan(q):
        raise argparse.ArgumentTypeError("nan is not a point")
    return q


def _count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if n < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {n}")
    return n


MIN_DPI, MAX_DPI = 10, 1200


def _dpi(text: str) -> int:
    value = _positive_int(text)
    if not MIN_DPI <= value <= MAX_DPI:
        raise argparse.ArgumentTypeError(f"must lie between {MIN_DPI} and {MAX_DPI}, got {value}")
    return value


def _draws(text: str) -> int:
    n = _count(text)
    if n > MAX_DRAWS:
        raise argparse.ArgumentTypeError(f"at most {MAX_DRAWS:,} draws, got {n:,}")
    return n


def _positive_int(text: str) -> int:
    n = _count(text)
    if n == 0:
        raise argparse.ArgumentTypeError("must be positive, got 0")
    return n


# --------------------------------------------------------------------------------------------
# Calls into the toolkit


def _toolkit():
    from vordex.pure import densitykit

    return densitykit


def _call(lm: LoadedMarginal, fn, *args, **kwargs):
    """Run a toolkit function; its refusal of the marginal becomes a UserError."""
    try:
        return fn(*args, **kwargs)
    except KeyError as exc:
        raise UserError(f"{lm.source}: marginal rejected: missing key {exc}") from None
    except (ValueError, TypeError) as exc:
        raise UserError(f"{lm.source}: marginal rejected: {exc}") from None


def _fmt(v: float) -> str:
    """Shortest text that reads back as the same double (for pipes)."""
    return repr(float(v))


def _json_float(v: float) -> Optional[float]:
    v = float(v)
    return v if math.isfinite(v) else None


def _write_lines(lines: Sequence[str]) -> None:
    if lines:
        sys.stdout.write("\n".join(lines) + "\n")


def _hpd_label(p: float) -> str:
    return f"HPD  {format(p, 'g')}".ljust(16)


def cmd_summary(args: argparse.Namespace) -> int:
    lm = load_marginal(args.file)
    dk = _toolkit()
    probs = args.hpd if args.hpd else [0.95]
    hpd = _call(lm, dk.tova_hpdmarginal, probs, lm.xy)
    if args.json:
        summary = _call(lm, dk.tova_zmarginal, lm.xy, silent=True)
        doc = {
            "source": lm.source,
            "points": int(lm.xy.shape[0]),
            "summary": {k: _json_float(v) for k, v in summary.items()},
            "hpd": [{"p": p, "low": _json_float(lo), "high": _json_float(hi)}
                    for p, (lo, hi) in zip(probs, hpd.tolist())],
        }
        sys.stdout.write(json.dumps(doc, indent=2, allow_nan=False) + "\n")
        return 0
    # The toolkit prints its eight lines only after every number is computed.
    _call(lm, dk.tova_zmarginal, lm.xy, silent=False)
    _write_lines([f"{_hpd_label(p)}[{lo:.6g}, {hi:.6g}]" for p, (lo, hi) in zip(probs, hpd.tolist())])
    return 0


def cmd_quantile(args: argparse.Namespace) -> int:
    lm = load_marginal(args.file)
    import numpy as np

    q = _call(lm, _toolkit().tova_qmarginal, np.asarray(args.p, dtype=float), lm.xy)
    _write_lines([_fmt(v) for v in np.atleast_1d(q)])
    return 0


def cmd_cdf(args: argparse.Namespace) -> int:
    lm = load_marginal(args.file)
    import numpy as np

    p = _call(lm, _toolkit().tova_pmarginal, np.asarray(args.q, dtype=float), lm.xy)
    _write_lines([_fmt(v) for v in np.atleast_1d(p)])
    return 0


def cmd_sample(args: argparse.Namespace) -> int:
    lm = load_marginal(args.file)
    import numpy as np

    rng = np.random.default_rng(args.seed)
    # Drawn a block at a time: the generator's uniforms follow one another
    # from block to block, so the draws are those of one call for all of
    # them, without holding them all (24 GB for 10^9 draws). Written a block
    # at a time too: a reader that stops early (| head) ends the command at once.
    done = 0
    while True:
        count = min(SAMPLE_DRAW_BLOCK, args.n - done)
        try:
            draws = _call(lm, _toolkit().tova_rmarginal, count, lm.xy, rng)
        except MemoryError:
            raise UserError(f"{args.n} draws do not fit in memory") from None
        for start in range(0, draws.size, SAMPLE_BLOCK):
            _write_lines([_fmt(v) for v in draws[start:start + SAMPLE_BLOCK].tolist()])
        done += count
        if done >= args.n:
            return 0


def _import_matplotlib():
    try:
        import matplotlib

        matplotlib.use("Agg")
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise UserError(f"plotting needs matplotlib, which is not installed; "
                        f"install it with: {INSTALL_MATPLOTLIB}") from None
    return Figure, FigureCanvasAgg


def _inches(pixels: int, dpi: int) -> float:
    """The figure side that renders as exactly `pixels` at `dpi`: the renderer
    truncates inches * dpi, and pixels / dpi * dpi can fall a rounding short."""
    inches = pixels / dpi
    while inches * dpi < pixels:
        inches = math.nextafter(inches, math.inf)
    return inches


def _write_file(path: str, data: bytes) -> None:
    """Write `data` to `path` through a new file beside it that then replaces
    it: a failed write (a full disk, a size limit) leaves the old file whole.
    Paths that are not regular files (devices, pipes), and directories where
    no new file can be made, are written directly."""
    def directly() -> None:
        with open(path, "wb") as fh:
            fh.write(data)

    target = os.path.realpath(path)
    if os.path.exists(target) and not os.path.isfile(target):
        return directly()
    import tempfile

    try:
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(target), prefix="." + os.path.basename(target) + ".",
                                   suffix=".part")
    except PermissionError:
        return directly()
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
        try:
            mode = os.stat(target).st_mode & 0o7777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def cmd_plot(args: argparse.Namespace) -> int:
    Figure, FigureCanvasAgg = _import_matplotlib()
    out = args.output
    fmt = "png" if out == "-" else (os.path.splitext(out)[1].lstrip(".").lower() or "png")
    # PGF output needs a LaTeX installation, which this command does not assume.
    known = {k: v for k, v in FigureCanvasAgg.get_supported_filetypes().items() if k != "pgf"}
    if fmt not in known:
        raise UserError(f"{out}: unknown image format {fmt!r} (use one of {', '.join(sorted(known))})")
    lm = load_marginal(args.file)
    import numpy as np

    dk = _toolkit()
    m = lm.xy
    smooth = _call(lm, dk.tova_smarginal, m)
    (lo, hi), = _call(lm, dk.tova_hpdmarginal, args.hpd, m).tolist()
    median = float(_call(lm, dk.tova_qmarginal, 0.5, m))
    mode = float(_call(lm, dk.tova_mmarginal, m))
    band = np.linspace(lo, hi, 256)
    band_y = _call(lm, dk.tova_dmarginal, band, m)
    peak = _call(lm, dk.tova_dmarginal, [median, mode], m)

    fig = Figure(figsize=(_inches(args.width, args.dpi), _inches(args.height, args.dpi)), dpi=args.dpi)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    ax.fill_between(band, band_y, color="tab:blue", alpha=0.22, linewidth=0,
                    label=f"{format(100 * args.hpd, 'g')} % HPD [{lo:.4g}, {hi:.4g}]")
    ax.plot(smooth["x"], smooth["y"], color="tab:blue", linewidth=1.8, label="smoothed density")
    finite = np.isfinite(m).all(axis=1)
    ax.plot(m[finite, 0], m[finite, 1], "o", color="black", markersize=3.5,
            label=f"input points ({int(finite.sum())})")
    ax.vlines(median, 0, peak[0], colors="tab:orange", linestyles="--", linewidth=1.4,
              label=f"median {median:.4g}")
    ax.vlines(mode, 0, peak[1], colors="tab:red", linestyles=":", linewidth=1.6,
              label=f"mode {mode:.4g}")
    ax.set_ylim(bottom=0)
    ax.set_xlabel(_plain_text(lm.x_name))
    ax.set_ylabel(_plain_text(lm.y_name) if lm.y_name not in ("y", "") else "density")
    ax.set_title(_plain_text(os.path.basename(lm.source)) if lm.source != "<stdin>" else "marginal from stdin")
    ax.legend(loc="best", fontsize="small", frameon=False)
    import warnings

    # The image is drawn into memory first, then written through a new file:
    # a failure leaves no partial file, and an earlier image stays whole.
    buf = io.BytesIO()
    import logging

    # (PostScript reports the dropped transparency through logging)
    logging.getLogger("matplotlib").setLevel(logging.ERROR)
    try:
        with warnings.catch_warnings():
            # Where the text does not fit (a small image at a high --dpi) the
            # layout keeps what it can, and PostScript drops the shading's
            # transparency; neither is a reason to print a warning.
            warnings.simplefilter("ignore", UserWarning)
            fig.tight_layout()
            fig.savefig(buf, format=fmt, dpi=args.dpi)
    except (RuntimeError, MemoryError, ValueError, UnicodeError) as exc:  # the renderer's own limits
        raise UserError(f"{out}: cannot draw the image at {args.width} x {args.height} pixels "
                        f"and {args.dpi} dpi ({str(exc).strip() or type(exc).__name__})") from None
    try:
        if out == "-":
            sys.stdout.buffer.write(buf.getvalue())
            sys.stdout.buffer.flush()
        else:
            _write_file(out, buf.getvalue())
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise UserError(f"{out}: cannot write: {exc.strerror or exc}") from None
    return 0


def _plain_text(text: str) -> str:
    """Text shown as it is: no math markup ($...$), and bytes of a file name
    that are not UTF-8 shown as replacement characters."""
    try:
        raw = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # other lone surrogates (from JSON, say)
        raw = text.encode("utf-8", "surrogatepass")
    return raw.decode("utf-8", "replace").replace("$", r"\$")


# --------------------------------------------------------------------------------------------
# Parser


FORMATS = """\
input formats:
  CSV or whitespace text   two columns, x and density; an optional header line
                           (x,y); blank lines and lines starting with # skipped
  .npy                     a NumPy array of shape (n, 2)
  JSON                     {"x": [...], "y": [...]} or a list of [x, y] pairs
  -                        read standard input (format recognised by content)
"""


def _version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover
        return "unknown"
    try:
        return version("vordex")
    except PackageNotFoundError:
        return "unknown (not installed)"


def build_parser(prog: str = "vordex") -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=prog, formatter_class=raw,
        description="Summaries, quantiles, draws and plots of a posterior marginal given as "
                    "a grid of (x, density) points.",
        epilog=FORMATS + "\nrun '%(prog)s COMMAND --help' for the options of a command.\n"
                         "example: %(prog)s summary && %(prog)s plot -o marginal.png")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = sub.add_parser(
        "summary", formatter_class=raw, epilog=FORMATS,
        help="mean, sd, quantiles, mode and HPD intervals",
        description="Print the eight-line summary of a marginal (mean, standard deviation, the "
                    "0.025, 0.25, 0.5, 0.75 and 0.975 quantiles, mode) and its highest-"
                    "posterior-density intervals. Without FILE the bundled example marginal "
                    "is used.")
    p.add_argument("file", nargs="?", metavar="FILE",
                   help="marginal to read ('-' for standard input; default: bundled example)")
    # Strings here: a FILE written after the probabilities is taken back out
    # of the list in main() (argparse would read it as one more probability).
    p.add_argument("--hpd", nargs="+", action="extend", metavar="P",
                   help="probability content of an HPD interval, in (0, 1]; several allowed "
                        "(default 0.95)")
    p.add_argument("--json", action="store_true", help="print the numbers as a JSON document")
    p.set_defaults(func=cmd_summary)

    p = sub.add_parser(
        "quantile", formatter_class=raw, epilog=FORMATS, help="quantiles at probabilities",
        description="Print the quantile of each probability P, one a line, in the order given.")
    p.add_argument("file", metavar="FILE", help="marginal to read ('-' for standard input)")
    p.add_argument("p", nargs="+", type=_probability, metavar="P",
                   help="probability in [0, 1]")
    p.set_defaults(func=cmd_quantile)

    p = sub.add_parser(
        "cdf", formatter_class=raw, epilog=FORMATS, help="cumulative probabilities P(X <= Q)",
        description="Print P(X <= Q) for each point Q, one a line, in the order given. "
                    "Put '--' before negative points written with an exponent (-- -1e-3).")
    p.add_argument("file", metavar="FILE", help="marginal to read ('-' for standard input)")
    p.add_argument("q", nargs="+", type=_real, metavar="Q", help="point on the x axis")
    p.set_defaults(func=cmd_cdf)

    p = sub.add_parser(
        "sample", formatter_class=raw, epilog=FORMATS, help="random draws, one a line",
        description="Print N random draws from the marginal, one a line. The same --seed "
                    "gives the same draws.")
    p.add_argument("file", metavar="FILE", help="marginal to read ('-' for standard input)")
    p.add_argument("n", type=_draws, metavar="N", help="number of draws (at most 10^9)")
    p.add_argument("--seed", type=_count, metavar="S",
                   help="seed of the random generator (a non-negative integer)")
    p.set_defaults(func=cmd_sample)

    p = sub.add_parser(
        "plot", formatter_class=raw, epilog=FORMATS,
        help="draw the marginal to an image (needs matplotlib)",
        description="Draw the input points, the smoothed density, the shaded HPD interval, "
                    "the median and the mode to an image file (PNG, or another format "
                    "matplotlib knows by the suffix of OUT; '-' writes PNG to standard "
                    f"output). Needs matplotlib: {INSTALL_MATPLOTLIB}")
    p.add_argument("file", nargs="?", metavar="FILE",
                   help="marginal to read ('-' for standard input; default: bundled example)")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="image file to write")
    p.add_argument("--width", type=_positive_int, default=800, metavar="PX",
                   help="image width in pixels (default 800)")
    p.add_argument("--height", type=_positive_int, default=500, metavar="PX",
                   help="image height in pixels (default 500)")
    p.add_argument("--dpi", type=_dpi, default=100,
                   help=f"resolution: sets the size of text and lines ({MIN_DPI} to {MAX_DPI}, default 100)")
    p.add_argument("--hpd", type=_hpd_content, default=0.95, metavar="P",
                   help="probability content of the shaded interval (default 0.95)")
    p.set_defaults(func=cmd_plot)
    parser.commands = dict(sub.choices)  # for errors found after parsing
    return parser


MAX_PIXELS = 20000


def _discard_stdout() -> None:
    """Send what is left of standard output to nowhere, so that the flush at
    exit does not fail a second time."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Optional[Sequence[str]] = None, prog: str = "vordex") -> int:
    parser = build_parser(prog)
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as exc:
            if exc.code in (0, None) and sys.stdout is not None:
                sys.stdout.flush()  # --help, --version: their text must reach the reader
            raise
    except BrokenPipeError:
        _discard_stdout()
        return 1
    except OSError as exc:  # standard output (or standard error) cannot be written
        if sys.stdout is not None:
            _discard_stdout()
        try:
            sys.stderr.write(f"{prog}: error: cannot write the output: {exc.strerror or exc}\n")
        except (AttributeError, OSError):  # no standard error to tell it to
            pass
        return EXIT_USAGE
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    if args.command == "summary" and args.hpd:
        if args.file is None and not _looks_numeric(args.hpd[-1]):
            args.file = args.hpd.pop()  # summary --hpd 0.9 FILE
        try:
            args.hpd = [_hpd_content(v) for v in args.hpd]
        except argparse.ArgumentTypeError as exc:
            parser.commands["summary"].error(f"argument --hpd: {exc}")
    if args.command == "plot" and max(args.width, args.height) > MAX_PIXELS:
        parser.commands["plot"].error(f"an image side may have at most {MAX_PIXELS} pixels")
    if sys.stdout is None:
        if sys.stderr is not None:
            sys.stderr.write(f"{prog} {args.command}: error: standard output is closed\n")
        return EXIT_USAGE
    try:
        status = args.func(args)
        sys.stdout.flush()
        return status
    except UserError as exc:
        sys.stderr.write(f"{prog} {args.command}: error: {exc}\n")
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, without a second
        # error when the interpreter flushes stdout at exit.
        _discard_stdout()
        return 1
    except OSError as exc:  # standard output cannot be written (a full disk, say)
        _discard_stdout()
        sys.stderr.write(f"{prog} {args.command}: error: cannot write the output: {exc.strerror or exc}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        return 130
