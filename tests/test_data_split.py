"""How the split holds its cells: DuckDB held to a memory limit, a cell's pieces added in a fixed order."""

from pathlib import Path

import numpy as np

from velmar.data.sql import connection
from velmar.data.usage import _summed_cells


def test_a_memory_limit_spills_to_a_temporary_directory_removed_afterwards() -> None:
    with connection(memory_limit="1GB") as con:
        spill = Path(con.one("SELECT current_setting('temp_directory')")[0])
        assert spill.is_dir() and spill != Path.cwd()
    assert not spill.exists()


def test_a_cell_adds_its_pieces_to_the_same_bits_whatever_their_order() -> None:
    rng = np.random.default_rng(7)
    rows, columns = rng.integers(0, 3, 300), rng.integers(0, 2, 300)
    pieces = rng.normal(size=300) * 10.0 ** rng.integers(-8, 9, 300)
    summed = _summed_cells(rows, columns, pieces, (3, 2))
    expected = np.zeros((3, 2))
    np.add.at(expected, (rows, columns), pieces)
    np.testing.assert_allclose(summed, expected, rtol=1e-12, atol=1e-6)
    for order in (rng.permutation(300), np.argsort(-pieces)):
        assert np.array_equal(_summed_cells(rows[order], columns[order], pieces[order], (3, 2)), summed)
