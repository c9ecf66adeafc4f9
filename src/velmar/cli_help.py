"""What `velmar COMMAND --help` says besides the options: the file layouts, an example and the exit codes."""

from __future__ import annotations

import argparse

EXIT_CODES = """exit codes:
  0    success
  1    an internal failure (VELMAR_DEBUG=1 shows where)
  2    a mistake in the input or the options, told in one line on standard error
  3    (batch) some groups were not planned; their rows say why
  130  interrupted (Ctrl-C)"""

EXPORT_LAYOUT = """export (--export GLOB): FOCUS 1.0 to 1.3 cost-and-usage files, CSV or Parquet, one file or a
  glob. Usage rows (ChargeCategory 'Usage') of the kinds the price file names are planned;
  corrections (ChargeClass 'Correction') net out; the spend of the other rows is reported.
  A contract-commitment file of a FOCUS 1.3 export in the glob is recognised and used."""

USAGE_LAYOUT = """usage table (--usage FILE): CSV or Parquet with columns timestamp, kind, quantity
  (unit-hours used from timestamp on) and optionally currency; timestamps without an offset are UTC."""

PRICES_LAYOUT = """price file (--prices FILE): CSV, one row per kind to plan:
  kind, on_demand, sp1y, sp3y, ri1y, ri3y[, currency]
  rates per unit and hour; a commitment column left out cannot be planned (unless --discounts
  rates it); an empty on_demand takes the export's median ListUnitPrice. Payment options: beside a
  rate, <model>_upfront (money per unit paid at purchase; a savings plan's per unit of commitment
  per hour), and more options as <model>:<option> with <model>_upfront:<option> (e.g. ri3y:all).
families (--families FILE): CSV kind, family, factor (normalised units per unit of the kind)."""

EXISTING_LAYOUT = """savings plans already bought (--existing FILE): CSV amount_per_hour, start, end[, term, name]
reservations already bought (--existing-reservations FILE): CSV kind, units, start, end[, term, name]
  units per hour of a kind, in force over [start, end); they cover their kind first."""

PLAN_LAYOUT = """plan (--plan FILE): JSON as `velmar recommend --json` writes it (its "plan", and "period" and
  "kinds" when present)."""


def epilog(*parts: str, example: str) -> str:
    """The text after a command's options: layouts, then one example, then the exit codes."""
    return "\n\n".join([*parts, f"example:\n  {example}", EXIT_CODES])


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter, argparse.RawDescriptionHelpFormatter):
    """Shows every option's default and keeps the epilog's lines as written."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        # Only options that take a value and have one by default say it (not flags, not "None").
        if action.nargs == 0 or action.default is None or action.default is argparse.SUPPRESS:
            return action.help
        return super()._get_help_string(action)
