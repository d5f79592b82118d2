"""Encodes the sample table, shows the codes, decodes them again and pickles the encoder."""

import pathlib
import pickle

import numpy as np
import pandas as pd

import quorvel

HERE = pathlib.Path(__file__).resolve().parent


def main() -> None:
    # Empty cells are read as missing values.
    table = pd.read_csv(HERE / "sample_table.csv")
    print("Sample table:")
    print(table.to_string(index=False))

    encoder = quorvel.Encoder()
    codes, text_columns = encoder.encode(table)
    print("\nEncoded (text columns at positions %s):" % text_columns)
    print(codes.to_string(index=False))

    decoded = encoder.decode(codes)
    print("\nDecoded again:")
    print(decoded.to_string(index=False))

    restored = pickle.loads(pickle.dumps(encoder))
    state = encoder.__getstate__()
    print(f"\nThe encoder pickles to a {len(state)}-byte state; the copy decodes the same: "
          f"{restored.decode(codes).equals(decoded)}")

    array = np.array([["b", 1.5], ["a", 2.0], ["NaN", 3.0], ["b", 4.0]], dtype=object)
    array_codes, array_columns = encoder.encode(array)
    print("\nA NumPy object array:", array.tolist())
    print("encodes to", array_codes.tolist(), "with text columns", array_columns)
    print("and decodes to", encoder.decode(array_codes).tolist())


if __name__ == "__main__":
    main()
