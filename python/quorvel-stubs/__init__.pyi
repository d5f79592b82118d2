"""A fast, native label encoder for the text columns of NumPy arrays and pandas DataFrames.

Types for the compiled module ``quorvel``; the module itself carries only its call
signatures.
"""

from typing import Any, Literal, final, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["Encoder"]

@final
class Encoder:
    """Label encoder for the text columns of a table.

    ``encode`` turns every text column of a 2-D NumPy array or a pandas DataFrame into
    float codes and remembers the code tables; ``decode`` turns codes back into texts;
    an ``Encoder`` pickles to a compact byte state that holds what it learned.

    The code rule: within one column the distinct texts, sorted byte-wise (UTF-8), are
    numbered 0, 1, 2, ... in that order. The missing-value markers ``"<NA>"``, ``"nan"``
    and ``"NaN"`` (exactly these, case-sensitive) get no code: their rows become NaN.
    A column is a text column when any of its cells is a text; its other cells become
    texts first (``None`` and NaN turn into markers, numbers into their shortest decimal
    text). Numeric columns pass through unchanged. Column indices are positions, never
    labels.

    The encoding work runs on a process-wide pool of worker threads, sized by the
    environment variable ``RAYON_NUM_THREADS`` (else ``RAYON_RS_NUM_CPUS``, else the
    processors the process may use).

    Errors shared by all methods: ``TypeError`` for a wrong call shape or an input that is
    not a NumPy array or DataFrame; ``RuntimeError`` ("Already borrowed" or "Already
    mutably borrowed") when a call meets another call on the same instance that it may not
    run beside (from another thread, or re-entered from a cell's ``__str__``). A violated
    internal invariant raises ``PanicException``, which derives from ``BaseException``.
    """

    def __new__(cls, encoding: Literal["label"] | None = None) -> Encoder:
        """A new encoder with nothing learned.

        ``encoding`` names the strategy; ``"label"`` (the default) is the only one.
        Raises ``TypeError`` when it is not a ``str`` and ``ValueError`` for any other text.
        """

    @overload
    def encode(self, obj: pd.DataFrame) -> tuple[pd.DataFrame, list[int] | None]: ...
    @overload
    def encode(self, obj: npt.NDArray[Any]) -> tuple[npt.NDArray[np.float64], list[int] | None]: ...
    def encode(
        self, obj: npt.NDArray[Any] | pd.DataFrame
    ) -> tuple[npt.NDArray[np.float64] | pd.DataFrame, list[int] | None]:
        """Encodes the text columns of ``obj`` and remembers their code tables.

        Returns ``(codes, text_columns)``: ``codes`` holds every cell as a float, in the
        container kind of ``obj`` (a float64 array, or a DataFrame with the same column
        labels); ``text_columns`` lists the positions of the text columns in ascending
        order (``[]`` when there are none). A 2-D float64 array is taken over as it is:
        the result is a copy, ``text_columns`` is ``None`` and the encoder forgets what it
        learned before. Whatever was learned before is replaced, never merged.
        """

    @overload
    def decode(self, obj: pd.DataFrame) -> pd.DataFrame: ...
    @overload
    def decode(self, obj: npt.NDArray[Any]) -> npt.NDArray[Any]: ...
    def decode(self, obj: npt.NDArray[Any] | pd.DataFrame) -> npt.NDArray[Any] | pd.DataFrame:
        """Turns the codes of the learned text columns of ``obj`` back into texts.

        Returns a new table of the container kind of ``obj``: the learned text columns
        hold their texts (``None`` where a code is NaN, or where a missing-value marker
        stood), the other columns their numbers. Raises ``PanicException`` when ``obj``
        has fewer columns than the learned encoding needs. Never changes what the encoder
        learned; it keeps the ``str`` of each text it decoded for its next decode, until it
        learns again.
        """

    def __getstate__(self) -> bytes:
        """The encoder's complete state as bytes, as ``pickle`` and ``copy`` store it."""

    def __setstate__(self, state: bytes) -> None:
        """Replaces the encoder's state with ``state`` from ``__getstate__``.

        Raises ``TypeError`` when ``state`` is not ``bytes`` and ``ValueError`` ("failed
        to unpickle Encoder: ...") when the bytes are not a valid state; the encoder then
        keeps what it had.
        """
