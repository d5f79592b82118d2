"""Small builders of test tables shared by the test files."""

import numpy as np


def objects(rows):
    """A 2-D object array holding exactly the given cells (no NumPy conversion of them)."""
    n_rows, n_cols = len(rows), len(rows[0]) if rows else 0
    arr = np.empty((n_rows, n_cols), dtype=object)
    for i, row in enumerate(rows):
        for j, cell in enumerate(row):
            arr[i, j] = cell
    return arr
