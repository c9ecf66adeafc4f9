"""Input files: globs resolved once, each file read once, formats, columns and datasets.

An export is resolved once per command into an `Export` that every loader accepts in place
of paths: a file reached twice (a repeated path, overlapping globs, a symbolic link) is read
once, and two files with the same content are refused, since their rows would count twice.
"""

from __future__ import annotations

import difflib
import glob
import hashlib
import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

from velmar.data.sql import READ_ERRORS, Connection, connection, first_line, literal
from velmar.errors import UserError

#: Column names of FOCUS 1.0 to 1.3 (those of 1.0 as the focus-validator rule set lists
#: them), used to tell a misspelt FOCUS column from a column of the provider's own.
FOCUS_COLUMNS: frozenset[str] = frozenset(
    {
        # 1.0
        "AvailabilityZone", "BilledCost", "BillingAccountId", "BillingAccountName",
        "BillingCurrency", "BillingPeriodEnd", "BillingPeriodStart", "ChargeCategory",
        "ChargeClass", "ChargeDescription", "ChargeFrequency", "ChargePeriodEnd",
        "ChargePeriodStart", "CommitmentDiscountCategory", "CommitmentDiscountId",
        "CommitmentDiscountName", "CommitmentDiscountStatus", "CommitmentDiscountType",
        "ConsumedQuantity", "ConsumedUnit", "ContractedCost", "ContractedUnitPrice",
        "EffectiveCost", "InvoiceIssuerName", "ListCost", "ListUnitPrice",
        "PricingCategory", "PricingQuantity", "PricingUnit", "ProviderName",
        "PublisherName", "RegionId", "RegionName", "ResourceId", "ResourceName",
        "ResourceType", "ServiceCategory", "ServiceName", "SkuId", "SkuPriceId",
        "SubAccountId", "SubAccountName", "Tags",
        # 1.1
        "CapacityReservationId", "CapacityReservationStatus", "CommitmentDiscountQuantity",
        "CommitmentDiscountUnit", "ServiceSubcategory", "SkuMeter", "SkuPriceDetails",
        # 1.2
        "BillingAccountType", "InvoiceId", "PricingCurrency",
        "PricingCurrencyContractedUnitPrice", "PricingCurrencyEffectiveCost",
        "PricingCurrencyListUnitPrice", "SubAccountType",
        # 1.3
        "ServiceProviderName", "HostProviderName", "ContractApplied", "AllocatedMethodId",
        "AllocatedMethodDetails", "AllocatedResourceId", "AllocatedResourceName", "AllocatedTags",
    }
)  # fmt: skip


@dataclass(frozen=True)
class Files:
    """Input files of one format with each file's column names."""

    columns: Mapping[str, frozenset[str]]
    parquet: bool
    label: str

    def has_column(self, name: str) -> bool:
        return any(name in names for names in self.columns.values())

    def scan(self, with_filename: bool = False) -> str:
        paths = ", ".join(literal(path) for path in self.columns)
        options = "union_by_name = true" + (", filename = true" if with_filename else "")
        if self.parquet:
            return f"read_parquet([{paths}], {options})"
        return f"read_csv([{paths}], header = true, all_varchar = true, {options})"


@dataclass(frozen=True)
class Export:
    """The files of an export, resolved once: its cost and usage rows, and its contract commitments."""

    usage: Files
    #: Files of the contract-commitment dataset found among the inputs, None without any.
    contract_commitments: Files | None = None
    #: Files among the inputs without a single FOCUS column (a price file caught by the glob).
    not_focus: tuple[str, ...] = ()

    @property
    def label(self) -> str:
        return self.usage.label


#: Where a loader accepts an export: one path or glob, a list of them, or a resolved export.
Paths = str | Sequence[str] | Export


def resolve_export(paths: str | Sequence[str]) -> Export:
    """The files that `paths` (paths or globs) name, checked and sorted into datasets."""
    with connection() as con:
        return export_of(con, paths)


def export_of(con: Connection, paths: Paths) -> Export:
    if isinstance(paths, Export):
        return paths
    patterns = [paths] if isinstance(paths, str) else list(paths)
    if not patterns:
        raise UserError("no input file given")
    found: dict[str, str] = {}  # real path -> the name it was first given by
    for pattern in patterns:
        matches = sorted(glob.glob(pattern, recursive=True)) if any(c in pattern for c in "*?[") else [pattern]
        if not matches:
            raise UserError(f"{pattern}: no file matches")
        for match in matches:
            check_file(match, hint=os.path.join(match, "*.parquet"))
            found.setdefault(os.path.realpath(match), match)
    names = list(found.values())
    _refuse_copies(names)
    label = patterns[0] if len(patterns) == 1 else f"{patterns[0]} (and {len(patterns) - 1} more)"
    columns = {path: _columns_of(con, path) for path in names}
    commitments = {path: names for path, names in columns.items() if _is_contract_commitments(names)}
    not_focus = tuple(path for path, names in columns.items() if not names & FOCUS_COLUMNS and path not in commitments)
    usage = {path: names for path, names in columns.items() if path not in commitments and path not in not_focus}
    if not usage and not_focus:
        usage = {path: columns[path] for path in not_focus}  # say what is missing from them
        not_focus = ()
    if not usage:
        raise UserError(f"{label}: only contract commitments (ContractCommitmentId), no cost and usage rows")
    return Export(_files(usage, label), _files(commitments, label) if commitments else None, not_focus)


def check_file(path: str, hint: str | None = None) -> None:
    """Refuses a path that is no file, a folder or an empty file, saying which."""
    if os.path.isdir(path):
        raise UserError(f"{path}: a folder, not a file" + (f" (give a glob such as {hint})" if hint else ""))
    if not os.path.isfile(path):
        raise UserError(f"{path}: no such file")
    if os.path.getsize(path) == 0:
        raise UserError(f"{path}: the file is empty")


def _refuse_copies(paths: Sequence[str]) -> None:
    """Two different files with the same content would count their rows twice."""
    by_size: dict[int, list[str]] = {}
    for path in paths:
        by_size.setdefault(os.path.getsize(path), []).append(path)
    for same_size in by_size.values():
        if len(same_size) < 2:
            continue
        by_hash: dict[str, str] = {}
        for path in same_size:
            digest = _sha256(path)
            if digest in by_hash:
                raise UserError(f"{path}: the same content as {by_hash[digest]} (a copy?); give only one of them")
            by_hash[digest] = path


def _sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        while block := stream.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def _is_contract_commitments(columns: frozenset[str]) -> bool:
    return "ContractCommitmentId" in columns and "ChargeCategory" not in columns


def _files(columns: Mapping[str, frozenset[str]], label: str) -> Files:
    formats = {path: _is_parquet(path) for path in columns}
    if len(set(formats.values())) > 1:
        binary = next(path for path, is_parquet in formats.items() if is_parquet)
        text = next(path for path, is_parquet in formats.items() if not is_parquet)
        raise UserError(f"{text}: CSV mixed with Parquet ({binary}); give files of one format")
    return Files(columns, next(iter(formats.values())), label)


def _is_parquet(path: str) -> bool:
    with open(path, "rb") as stream:
        return stream.read(4) == b"PAR1"


def _columns_of(con: Connection, path: str) -> frozenset[str]:
    try:
        if _is_parquet(path):
            rows = con.column(f"SELECT name FROM parquet_schema({literal(path)})")
        else:
            rows = con.column(f"DESCRIBE SELECT * FROM read_csv({literal(path)}, header = true, all_varchar = true)")
    except READ_ERRORS as error:
        raise UserError(f"{path}: cannot read: {first_line(error)}") from None
    return frozenset(rows)


def require_columns(files: Files, required: Sequence[str], focus: bool) -> None:
    for path, present in files.columns.items():
        for column in required:
            if column not in present:
                raise UserError(missing_column(path, column, present, focus))


def require_columns_of(path: str, header: Sequence[str], required: Sequence[str], known: Sequence[str]) -> None:
    """Checks a small CSV's header; a column close to a known one is a misspelling."""
    for column in required:
        if column not in header:
            raise UserError(missing_column(path, column, header, focus=False))
    for column in header:
        near = _nearest(column, known)
        if column not in known and near is not None:
            raise UserError(f"{path}: column '{column}' is not one this file takes (did you mean '{near}'?)")


def missing_column(path: str, column: str, present: Sequence[str] | frozenset[str], focus: bool) -> str:
    message = f"{path}: column '{column}' is missing"
    near = _nearest(column, present)
    if near is not None and focus and column in FOCUS_COLUMNS:
        return f"{message} ('{near}' looks like a misspelling of the FOCUS column '{column}')"
    if near is not None:
        return f"{message} (did you mean '{near}'?)"
    known = _nearest(column, FOCUS_COLUMNS) if focus and column not in FOCUS_COLUMNS else None
    if known is not None:
        return f"{message} ('{column}' is not a FOCUS column; did you mean '{known}'?)"
    return message


def _nearest(name: str, candidates: Sequence[str] | frozenset[str]) -> str | None:
    by_case = [candidate for candidate in candidates if candidate.lower() == name.lower()]
    if by_case:
        return by_case[0]
    close = difflib.get_close_matches(name, sorted(candidates), n=1, cutoff=0.8)
    return close[0] if close else None


SmallRows = list[dict[str, str | None]]


def read_small_csv(con: Connection, path: str) -> tuple[list[str], SmallRows]:
    """Header (lower case) and rows of a small CSV, every value a stripped string or None."""
    check_file(path)
    try:
        options = "header = true, all_varchar = true, delim = ',', null_padding = true"
        cursor = con.execute(f"SELECT * FROM read_csv({literal(path)}, {options})")
        header = [str(column[0]).strip().lower() for column in cursor.description or ()]
        rows = cursor.fetchall()
    except READ_ERRORS as error:
        raise UserError(f"{path}: cannot read: {first_line(error)}") from None
    return header, [
        {
            name: (None if value is None or not str(value).strip() else str(value).strip())
            for name, value in zip(header, row)
        }
        for row in rows
    ]


def cell_number(path: str, number: int, row: Mapping[str, str | None], column: str) -> float | None:
    """A small CSV's cell as a non-negative finite number, None if it is empty or its column absent."""
    raw = row.get(column)
    if raw is None:
        return None
    try:
        value = float(raw)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise UserError(f"{path}: row {number}, column '{column}': '{raw}' is not a number")
    if value < 0:
        raise UserError(f"{path}: row {number}, column '{column}': {raw} is negative")
    return value
