"""Reading usage, prices and commitments into the planner's records.

DuckDB reads the files (CSV or Parquet; one file, a glob, a list or a resolved `Export`)
and aggregates the rows to one quantity per period and kind: the raw rows never reach
Python, so exports larger than memory load in seconds. Periods are UTC hours ("H") or UTC
days ("D"); periods without rows hold zeros and rows for the same period and kind are summed.
"""

from velmar.data.commitments import list_commitments
from velmar.data.existing import existing_from_export, load_existing, load_existing_reservations
from velmar.data.files import FOCUS_COLUMNS, Export, Paths, resolve_export
from velmar.data.focus import DEFAULT_KIND_COLUMNS, FocusSplit, GroupKey, export_currency, load_focus, split_focus
from velmar.data.long_table import load_long_table
from velmar.data.prices import PRICE_COLUMNS, load_prices, parse_discounts, price_kinds

__all__ = [
    "DEFAULT_KIND_COLUMNS",
    "FOCUS_COLUMNS",
    "PRICE_COLUMNS",
    "Export",
    "FocusSplit",
    "GroupKey",
    "Paths",
    "existing_from_export",
    "export_currency",
    "list_commitments",
    "load_existing",
    "load_existing_reservations",
    "load_focus",
    "load_long_table",
    "load_prices",
    "parse_discounts",
    "price_kinds",
    "resolve_export",
    "split_focus",
]
