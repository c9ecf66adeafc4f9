"""The `velmar` command: parsing, progress and exit codes; the work is done by the library.

Exit codes: 0 success, 2 a user mistake (one line on standard error), 1 an internal
failure, 130 an interrupt (Ctrl-C, also when the module reports it as its own failure),
3 a batch that finished with some groups not planned (their rows say why).
Outputs are written only once everything they hold has been computed, each whole or
not at all.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import traceback
from collections.abc import Callable, Sequence
from dataclasses import replace
from pathlib import Path
from typing import Any

from rich.console import Console
from rich.table import Table

from velmar import __version__
from velmar.atomic import write_atomically
from velmar.backtest.rules import DEFAULT_RULES, RULES_HELP
from velmar.cli_help import (
    EXISTING_LAYOUT,
    EXPORT_LAYOUT,
    PLAN_LAYOUT,
    PRICES_LAYOUT,
    USAGE_LAYOUT,
    HelpFormatter,
    epilog,
)
from velmar.curve import SavingsCurve, savings_curve
from velmar.errors import MODULE_INTERRUPT_MESSAGE, UserError, is_module_failure
from velmar.inputs import Inputs, Request, read_inputs, split_list, with_hourly_cost
from velmar.portfolio import check_models
from velmar.progress import Steps
from velmar.records import COMMITMENT_MODELS, Recommendation, UsageHistory
from velmar.report.formatting import money

EXIT_USER_ERROR = 2
EXIT_INTERNAL_FAILURE = 1
EXIT_INTERRUPTED = 130
EXIT_GROUPS_FAILED = 3

_INPUT_LAYOUTS = (USAGE_LAYOUT, EXPORT_LAYOUT, PRICES_LAYOUT, EXISTING_LAYOUT)

#: Runs a command; returns its exit code when it is not 0.
Command = Callable[[argparse.Namespace, Console, Steps], int | None]


def main(argv: Sequence[str] | None = None) -> int:
    """Run one `velmar` command; returns the exit code."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else EXIT_USER_ERROR
    command: Command = args.command
    try:
        code = command(args, Console(), Steps())
    except UserError as error:
        _fail(f"error: {error}")
        return EXIT_USER_ERROR
    except KeyboardInterrupt:
        _fail("interrupted")
        return EXIT_INTERRUPTED
    except Exception as error:  # a fault of ours, not of the input
        _fail(f"internal error: {type(error).__name__}: {error} (VELMAR_DEBUG=1 shows where)", error)
        return EXIT_INTERNAL_FAILURE
    except BaseException as failure:
        if not is_module_failure(failure):
            raise
        if str(failure) == MODULE_INTERRUPT_MESSAGE:
            _fail("interrupted")
            return EXIT_INTERRUPTED
        _fail(f"internal failure of the numerical module: {failure}", failure)
        return EXIT_INTERNAL_FAILURE
    return code or 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmar",
        description="Plan prepaid compute commitments from billing exports.",
        epilog=epilog(
            "Each command's --help gives its options with their defaults and the layouts of the files it reads.",
            example="velmar recommend --export 'bills/*.parquet' --prices prices.csv --report report.html",
        ),
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"velmar {__version__}")
    commands = parser.add_subparsers(required=True, metavar="COMMAND")

    demo = _command(
        commands, "demo-data", "write a synthetic FOCUS export, price file and existing plan",
        example="velmar demo-data demo/",
    )  # fmt: skip
    demo.add_argument("directory", metavar="DIR", help="folder to write export.parquet, prices.csv, existing.csv")
    demo.add_argument("--seed", type=int, default=0, help="seed of the synthetic usage")
    demo.add_argument("--days", type=int, default=90, help="days of hourly rows")
    demo.add_argument("--accounts", type=int, default=4, help="sub-accounts")
    demo.add_argument("--kinds", type=int, default=12, help="instance kinds")
    demo.set_defaults(command=_demo_data)

    recommend = _command(
        commands, "recommend", "recommend a portfolio, its bound and a report", *_INPUT_LAYOUTS,
        example="velmar recommend --export 'bills/*.parquet' --prices prices.csv --json rec.json --report report.html",
    )  # fmt: skip
    _input_options(recommend)
    _planning_options(recommend)
    _budget_option(recommend)
    recommend.add_argument("--json", metavar="OUT", help="write the recommendation as JSON")
    recommend.add_argument("--report", metavar="HTML", help="write the self-contained HTML report")
    recommend.add_argument("--samples", type=int, default=2000, help="random plans in the report")
    recommend.add_argument(
        "--per-kind", action="store_true", help="add a savings curve per reserved kind to the report"
    )
    _forecast_options(recommend)
    recommend.set_defaults(command=_recommend)

    curve = _command(
        commands, "curve", "cost and savings against the savings-plan commitment", *_INPUT_LAYOUTS, PLAN_LAYOUT,
        example="velmar curve --usage usage.csv --prices prices.csv --out curve.svg --per-kind",
    )  # fmt: skip
    _input_options(curve)
    _planning_options(curve)
    _budget_option(curve)
    curve.add_argument("--plan", metavar="FILE", help="hold this plan (JSON) instead of recommending one")
    curve.add_argument("--out", metavar="FILE", help="write the curve as .svg or .png")
    curve.add_argument("--points", type=int, default=41, help="points on the curve")
    curve.add_argument("--per-kind", action="store_true", help="also a curve per reserved kind")
    curve.set_defaults(command=_curve)

    price = _command(
        commands, "price", "price a plan given in a JSON file", *_INPUT_LAYOUTS, PLAN_LAYOUT,
        example="velmar price --usage usage.csv --prices prices.csv --plan rec.json --json priced.json",
    )  # fmt: skip
    _input_options(price)
    price.add_argument("--plan", metavar="FILE", required=True, help='JSON with a "plan" as recommend writes it')
    price.add_argument("--json", metavar="OUT", help="write the priced plan as JSON")
    price.set_defaults(command=_price)

    commitments = _command(
        commands, "commitments", "list the commitments an export shows, with what of them went unused",
        EXPORT_LAYOUT, example="velmar commitments --export 'bills/*.csv' --json commitments.json",
    )  # fmt: skip
    commitments.add_argument("--export", metavar="GLOB", required=True, help="FOCUS export files (CSV or Parquet)")
    commitments.add_argument("--kind-columns", help="FOCUS columns that make up a kind, comma-separated")
    commitments.add_argument("--json", metavar="OUT", help="write the list as JSON")
    commitments.set_defaults(command=_commitments)

    batch = _command(
        commands, "batch", "plan every group of an export (e.g. each sub-account) on a Dask cluster",
        EXPORT_LAYOUT.replace("(--export GLOB)", "(EXPORT)"), PRICES_LAYOUT,
        "results (--out DIR): results.parquet and results.csv, one row per group and model (a group that\n"
        "  failed: one row with its error; one without usage: a note), summary.html, and results.jsonl,\n"
        "  the checkpoint a rerun with the same options resumes from.",
        example="velmar batch 'bills/*.parquet' --prices prices.csv --by SubAccountId --out plans/ --memory-limit 2GB",
    )  # fmt: skip
    batch.add_argument("export", metavar="EXPORT", help="FOCUS export files (CSV or Parquet; a glob)")
    batch.add_argument("--prices", metavar="FILE", required=True, help="price file, one row per kind")
    batch.add_argument("--by", metavar="COLUMNS", default="SubAccountId", help="columns whose values make a group")
    batch.add_argument("--out", metavar="DIR", required=True, help="folder of the results; a rerun resumes there")
    batch.add_argument(
        "--retry-failed", action="store_true", help="also plan again the groups a run into --out failed to plan"
    )
    batch.add_argument("--scheduler", metavar="ADDR", help="Dask scheduler, e.g. tcp://host:8786 (default: local)")
    batch.add_argument("--workers", type=int, help="processes of the local cluster (default: one per CPU)")
    batch.add_argument(
        "--memory-limit", metavar="SIZE",
        help="memory of each local worker, e.g. 2GB (default: the machine's memory shared among the workers)",
    )  # fmt: skip
    batch.add_argument("--period", choices=("H", "D"), default="H", help="rows are hours (H) or days (D)")
    batch.add_argument("--start", help="first timestamp to keep (inclusive)")
    batch.add_argument("--end", help="timestamp to stop at (exclusive)")
    batch.add_argument("--kind-columns", help="FOCUS columns that make up a kind, comma-separated")
    _planning_options(batch)
    batch.set_defaults(command=_batch)

    backtest = _command(
        commands, "backtest", "what each buying rule would have saved, deciding every few months over the history",
        USAGE_LAYOUT, EXPORT_LAYOUT, PRICES_LAYOUT, RULES_HELP,
        example="velmar backtest --usage usage.csv --prices prices.csv --period D --json backtest.json "
        "--report backtest.html",
    )  # fmt: skip
    _source_options(backtest)
    backtest.add_argument("--from", dest="start_months", type=int, default=12, metavar="MONTHS",
                          help="month of the history of the first decision")  # fmt: skip
    backtest.add_argument("--every", dest="every_months", type=int, default=3, metavar="MONTHS",
                          help="months between decisions")  # fmt: skip
    backtest.add_argument("--strategies", default=",".join(DEFAULT_RULES), metavar="LIST", help="rules to compare")
    backtest.add_argument("--models", default=",".join(COMMITMENT_MODELS), help="commitment models the rules may buy")
    backtest.add_argument("--seed", type=int, default=0, help="seed of the planner's own random choices")
    backtest.add_argument("--json", metavar="OUT", help="write every rule's figures and purchases as JSON")
    backtest.add_argument("--report", metavar="HTML", help="write the self-contained HTML report")
    backtest.set_defaults(command=_backtest)
    return parser


def _command(commands: Any, name: str, summary: str, *layouts: str, example: str) -> argparse.ArgumentParser:
    """A sub-command whose help shows defaults, the file layouts, one example and the exit codes."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=summary[0].upper() + summary[1:] + ".",
        epilog=epilog(*layouts, example=example), formatter_class=HelpFormatter,
    )  # fmt: skip
    return parser


def _input_options(parser: argparse.ArgumentParser) -> None:
    _source_options(parser)
    parser.add_argument("--existing", metavar="FILE", help="savings plans already bought (CSV)")
    parser.add_argument("--existing-reservations", metavar="FILE", help="reservations already bought (CSV)")
    parser.add_argument(
        "--existing-from-export", action="store_true",
        help="also plan on top of the commitments the export shows as active in its last period",
    )  # fmt: skip
    parser.add_argument(
        "--families", metavar="FILE",
        help="CSV kind, family, factor: reservations of a family fit any of its kinds (planned in normalised units)",
    )  # fmt: skip
    parser.add_argument(
        "--cost-of-capital", type=float, default=0.0, metavar="RATE",
        help="yearly rate at which upfront payments are compared with hourly ones, e.g. 0.08",
    )  # fmt: skip


def _source_options(parser: argparse.ArgumentParser) -> None:
    """The usage and its rates: what every planning command reads."""
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--usage", metavar="FILE", help="long table: timestamp, kind, quantity (CSV or Parquet)")
    source.add_argument("--export", metavar="GLOB", help="FOCUS export files (CSV or Parquet; a glob)")
    parser.add_argument("--prices", metavar="FILE", help="price file, one row per kind to plan")
    parser.add_argument(
        "--discounts", metavar="MODEL=F,...",
        help="assumed fractions off on demand for kinds the price file does not rate, e.g. "
        "RI3Y=0.62,RI1Y=0.40,SP3Y=0.50,SP1Y=0.28 (without --prices: every kind metered in hours)",
    )  # fmt: skip
    parser.add_argument("--period", choices=("H", "D"), default="H", help="plan by hours (H) or days (D)")
    parser.add_argument("--sub-account", help="FOCUS SubAccountId to plan for (default: every one)")
    parser.add_argument("--service", metavar="NAME[,NAME]", help="keep only these FOCUS ServiceNames")
    parser.add_argument("--start", help="first timestamp to keep (inclusive; default: the first row)")
    parser.add_argument("--end", help="timestamp to stop at (exclusive; default: after the last row)")
    parser.add_argument(
        "--kind-columns", help="FOCUS columns that make up a kind, comma-separated (default: RegionId,SkuId)"
    )


def _planning_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--models", default=",".join(COMMITMENT_MODELS), help="commitment models to plan")
    parser.add_argument(
        "--optimiser", default="inertial", choices=("inertial", "gradient_descent"),
        help="the module's portfolio search, when --n-starts asks for it",
    )  # fmt: skip
    parser.add_argument(
        "--n-starts", type=int,
        help="also run the module's portfolio search from this many random starts (its draws come from the "
        "system, so the answer may then change from run to run; the JSON says so)",
    )  # fmt: skip
    parser.add_argument("--seed", type=int, default=0, help="seed of the planner's own random choices")
    parser.add_argument(
        "--milp-time-limit", type=float, metavar="SECONDS",
        help="also solve the whole-unit problem exactly within this time (the outcome may then depend on the machine)",
    )  # fmt: skip
    parser.add_argument("--no-polish", dest="polish", action="store_false", help="keep the module's search as it is")
    parser.add_argument("--load-factor", type=float, default=1.0, help="plan for the usage times this, e.g. 0.8")
    parser.add_argument("--target-coverage", type=float, help="cheapest plan covering at least this share (0..1)")


def _budget_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--upfront-budget", type=float, metavar="AMOUNT", help="cap on the sum of the plan's upfront payments"
    )


def _forecast_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--forecast", action="store_true",
        help="plan what to buy now for forecast usage after the history (figures are expected values)",
    )  # fmt: skip
    parser.add_argument("--horizon", type=int, default=36, metavar="MONTHS", help="months the forecast covers")
    parser.add_argument("--scenarios", type=int, default=100, help="forecast paths the plan is judged on")
    parser.add_argument(
        "--risk", metavar="cvar:LEVEL", help="minimise the mean cost of the worst 1-LEVEL share of paths, e.g. cvar:0.9"
    )
    parser.add_argument(
        "--schedule", metavar="MONTHS", help="also plan tranches at these months ahead, e.g. 3,6,9 (advice)"
    )


def _demo_data(args: argparse.Namespace, console: Console, steps: Steps) -> None:
    from velmar.demo_data import write_demo

    with steps.step(f"Writing demo data to {args.directory}"):
        files = write_demo(args.directory, seed=args.seed, days=args.days, accounts=args.accounts, kinds=args.kinds)
    console.print(f"FOCUS export: {files.export}\nPrices: {files.prices}\nExisting commitments: {files.existing}")


def _recommend(args: argparse.Namespace, console: Console, steps: Steps) -> None:
    _check_outputs(args.json, args.report)
    inputs = _inputs(args, steps, commitments=bool(args.report and args.export))
    if args.forecast:
        _recommend_forward(args, console, steps, inputs)
        return
    rec = inputs.annotate(_plan(args, inputs, steps))
    history = _as_planned(inputs.history, args.load_factor)
    if inputs.hourly is not None:
        with steps.step("Pricing the plan on the hourly rows"):
            rec = with_hourly_cost(rec, inputs, args.load_factor)
    from velmar.report.outputs import render_table, to_json, write_html

    render_table(rec, console)
    if args.report:
        from velmar.samples import sample_plans

        with steps.step("Savings curve") as step:
            curve = savings_curve(history, inputs.prices, rec, inputs.existing, per_kind=args.per_kind,
                                  progress=step.count)  # fmt: skip
        with steps.step("Random plans and peers' rules"):
            samples = sample_plans(history, inputs.prices, rec, inputs.existing, n_sample=args.samples)
        with steps.step("Drawing the report"):
            write_html(args.report, rec, history, inputs.prices, curve, samples, inputs.existing,
                       commitments=inputs.commitments)  # fmt: skip
    if args.json:
        _write_json(args.json, to_json(rec, history, inputs.prices))
    _say_written(console, args.json, args.report)


def _recommend_forward(args: argparse.Namespace, console: Console, steps: Steps, inputs: Inputs) -> None:
    """recommend --forecast: the purchase now for forecast usage, its table, JSON and report."""
    models, options = _planning_choices(args)
    for option, given in (
        ("--target-coverage", options["target_coverage"] is not None),
        ("--milp-time-limit", options["milp_time_limit"] is not None),
        ("--load-factor", options["load_factor"] != 1.0),
        ("--no-polish", not options["polish"]),
    ):
        if given:
            raise UserError(f"{option}: does not apply with --forecast")
    schedule = [_whole(item, "--schedule") for item in split_list(args.schedule)]
    from velmar.forecast import plan_forward

    history = inputs.gross
    with steps.step("Planning on a forecast") as step:
        forward = plan_forward(
            history, inputs.prices, models, inputs.existing, inputs.reservations, horizon_months=args.horizon,
            n_scenarios=args.scenarios, risk=args.risk, schedule=schedule, seed=args.seed,
            progress=lambda text: step.say(f"Planning on a forecast: {text}"), n_starts=args.n_starts,
        )  # fmt: skip
    rec = inputs.annotate(forward.recommendation)
    from velmar.report.outputs import render_table, to_json, write_forecast_html

    render_table(rec, console)
    if args.report:
        with steps.step("Drawing the report"):
            write_forecast_html(args.report, rec, history, inputs.prices, inputs.commitments)
    if args.json:
        _write_json(args.json, to_json(rec, inputs.history, inputs.prices))
    _say_written(console, args.json, args.report)


def _whole(text: str, option: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise UserError(f"{option}: {text!r} is not a whole number") from None


def _curve(args: argparse.Namespace, console: Console, steps: Steps) -> None:
    _check_outputs(args.out)
    suffix = Path(args.out).suffix.lower().lstrip(".") if args.out else ""
    if args.out and suffix not in ("svg", "png"):
        raise UserError(f"--out {args.out}: the curve is written as .svg or .png")
    inputs = _inputs(args, steps)
    history = inputs.history
    if args.plan:
        rec = _priced_plan(args, inputs, steps)
    else:
        rec = _plan(args, inputs, steps)
        history = _as_planned(history, args.load_factor)
    rec = inputs.annotate(rec)
    from velmar.report.plots import curve_and_kinds_figure, to_file_bytes
    from velmar.report.summary import HOURS_PER_YEAR, history_hours

    with steps.step("Savings curve") as step:
        curve = savings_curve(
            history, inputs.prices, rec, inputs.existing, points=args.points, per_kind=args.per_kind,
            progress=step.count,
        )  # fmt: skip
    console.print(_curve_table(curve, rec.currency))
    if curve.per_kind:
        console.print(_kind_curve_table(curve, rec.currency))
    if args.out:
        years = history_hours(history) / HOURS_PER_YEAR
        figure = curve_and_kinds_figure(curve, years=years, currency=rec.currency)
        write_atomically(args.out, to_file_bytes(figure, suffix))
        console.print(f"Curve: {Path(args.out).resolve()}")


def _price(args: argparse.Namespace, console: Console, steps: Steps) -> None:
    _check_outputs(args.json)
    inputs = _inputs(args, steps)
    rec = inputs.annotate(_priced_plan(args, inputs, steps))
    from velmar.report.outputs import render_table, to_json

    render_table(rec, console)
    if args.json:
        _write_json(args.json, to_json(rec, inputs.history, inputs.prices))
        console.print(f"JSON: {Path(args.json).resolve()}")


def _commitments(args: argparse.Namespace, console: Console, steps: Steps) -> None:
    """The commitments an export shows, one row per CommitmentDiscountId: the waste made visible."""
    _check_outputs(args.json)
    from velmar import data
    from velmar.report.outputs import commitments_json, render_commitments

    columns = {"kind_columns": split_list(args.kind_columns)} if args.kind_columns else {}
    with steps.step("Reading the export's commitments"):
        export = data.resolve_export(args.export)
        seen = data.list_commitments(export, **columns)
        currency = data.export_currency(export)
    render_commitments(seen, console, currency)
    if args.json:
        _write_json(args.json, {"currency": currency, "commitments": commitments_json(seen)})
        console.print(f"JSON: {Path(args.json).resolve()}")


def _inputs(args: argparse.Namespace, steps: Steps, commitments: bool = False) -> Inputs:
    request = replace(
        _source_request(args),
        existing=args.existing,
        existing_reservations=args.existing_reservations,
        existing_from_export=args.existing_from_export,
        commitments=commitments,
        families=args.families,
        cost_of_capital=args.cost_of_capital,
    )
    return read_inputs(request, steps)


def _source_request(args: argparse.Namespace) -> Request:
    """What `_source_options` asked to read."""
    return Request(
        usage=args.usage,
        export=args.export,
        prices=args.prices,
        discounts=args.discounts,
        period=args.period,
        sub_account=args.sub_account,
        start=args.start,
        end=args.end,
        kind_columns=split_list(args.kind_columns),
        services=split_list(args.service),
    )


def _plan(args: argparse.Namespace, inputs: Inputs, steps: Steps) -> Recommendation:
    models, options = _planning_choices(args)
    from velmar.plan import recommend

    if args.upfront_budget is not None and not args.upfront_budget >= 0:
        raise UserError(f"--upfront-budget: {args.upfront_budget} is not an amount of 0 or more")
    with steps.step("Planning") as step:
        return recommend(
            inputs.history,
            inputs.prices,
            models=models,
            existing=inputs.existing,
            progress=lambda text: step.say(f"Planning: {text}"),
            payment=inputs.payment,
            upfront_budget=args.upfront_budget,
            **options,
        )


def _planning_choices(args: argparse.Namespace) -> tuple[tuple[str, ...], dict[str, Any]]:
    """The models and the planner's options, checked."""
    models = split_list(args.models)
    check_models(models)
    if args.n_starts is not None and args.n_starts < 1:
        raise UserError(f"--n-starts: {args.n_starts} is below 1")
    if args.target_coverage is not None and not 0.0 <= args.target_coverage <= 1.0:
        raise UserError(f"--target-coverage: {args.target_coverage} is not a share between 0 and 1")
    if args.load_factor <= 0:
        raise UserError(f"--load-factor: {args.load_factor} is not positive")
    options = {
        "optimiser": args.optimiser,
        "n_starts": args.n_starts,
        "seed": args.seed,
        "polish": args.polish,
        "milp_time_limit": args.milp_time_limit,
        "load_factor": args.load_factor,
        "target_coverage": args.target_coverage,
    }
    return models, options


def _batch(args: argparse.Namespace, console: Console, steps: Steps) -> int | None:
    """One plan per group on a Dask cluster: the results table, a summary page, and exit code 3 if a group failed."""
    models, options = _planning_choices(args)
    from velmar.batch import BatchProgress, plan_many
    from velmar.batch.report import write_summary
    from velmar.batch.results import SUMMARY

    by = split_list(args.by)
    columns = {"kind_columns": split_list(args.kind_columns)} if args.kind_columns else {}
    with steps.step("Planning groups") as step:

        def show(progress: BatchProgress) -> None:
            total = progress.done + progress.left
            workers = [f"{count} {'worker' if count == 1 else 'workers'} {what}" for count, what in (
                (progress.paused, "paused: memory nearly full"), (progress.restarting, "restarting"),
            ) if count]  # fmt: skip
            step.say(f"Planning groups ({', '.join([f'{progress.failed} failed, {progress.left} left', *workers])})")
            step.count(progress.done, total)

        result = plan_many(
            args.export, args.prices, by=by, client=args.scheduler, out=args.out, period=args.period,
            models=models, workers=args.workers, progress=show, start=args.start, end=args.end,
            memory_limit=args.memory_limit, retry_failed=args.retry_failed, **columns, **options,
        )  # fmt: skip
    summary = Path(args.out) / SUMMARY
    with steps.step("Writing the summary"):
        write_summary(summary, result.rows, by, args.export)
    console.print(
        f"Groups: {result.groups:,} ({result.planned:,} planned now, {result.skipped:,} done before); "
        f"not planned: {result.failed:,}"
    )
    for label, path in (("Results", result.parquet), ("Results (CSV)", result.csv), ("Summary", summary)):
        console.print(f"{label}: {Path(path or '').resolve()}")
    return EXIT_GROUPS_FAILED if result.failed else None


def _backtest(args: argparse.Namespace, console: Console, steps: Steps) -> None:
    """Every rule decides over the history; their realized costs side by side, as a table, JSON and a page."""
    _check_outputs(args.json, args.report)
    from velmar.backtest import parse_rules, run_backtest
    from velmar.backtest.report import build_html, render_table, to_json

    rules = parse_rules(split_list(args.strategies))
    inputs = read_inputs(_source_request(args), steps)
    with steps.step("Backtest") as step:
        result = run_backtest(
            inputs.history, inputs.prices, rules, start_months=args.start_months, every_months=args.every_months,
            models=split_list(args.models), seed=args.seed, progress=lambda text: step.say(f"Backtest: {text}"),
        )  # fmt: skip
    render_table(result, console, inputs.currency)
    if args.report:
        with steps.step("Drawing the report"):
            write_atomically(args.report, build_html(result, inputs.currency))
    if args.json:
        _write_json(args.json, to_json(result, inputs.currency))
    _say_written(console, args.json, args.report)


def _as_planned(history: UsageHistory, load_factor: float) -> UsageHistory:
    """The usage the plan was made for: the history times the load factor."""
    return history if load_factor == 1.0 else replace(history, usage=history.usage * load_factor)


def _priced_plan(args: argparse.Namespace, inputs: Inputs, steps: Steps) -> Recommendation:
    from velmar.plan_file import read_plan

    plan = read_plan(args.plan, inputs.history)
    from velmar.plan import price_plan

    with steps.step("Pricing the plan"):
        return price_plan(inputs.history, inputs.prices, plan.plans, inputs.existing, kind_order=plan.kinds)


def _curve_table(curve: SavingsCurve, currency: str | None) -> Table:
    marks = {curve.knee_index: "knee", curve.optimum_index: "optimum"}
    table = Table(title=f"Savings curve ({' + '.join(curve.models) or 'no savings plan'})", title_justify="left")
    for name in ("Commitment per hour", "Cost", "Savings", ""):
        table.add_column(name, justify="right" if name else "left")
    for index, (amount, cost, saved) in enumerate(zip(curve.amounts_per_hour, curve.costs, curve.savings)):
        mark = ", ".join(
            m for m in (marks.get(index), "recommended" if index == curve.recommended_index else None) if m
        )
        table.add_row(f"{amount:,.2f}", money(cost, currency), money(saved, currency), mark)
    table.caption = f"All on demand: {money(curve.on_demand_cost, currency)}"
    return table


def _kind_curve_table(curve: SavingsCurve, currency: str | None) -> Table:
    table = Table(title="Reserved units per kind", title_justify="left")
    for name in ("Kind", "Model", "Recommended units/h", "Cheapest units/h", "Cost there"):
        table.add_column(name, justify="left" if name in ("Kind", "Model") else "right")
    for kind in sorted(curve.per_kind, key=lambda k: k.kind):
        table.add_row(
            kind.kind,
            kind.model,
            f"{kind.units_per_hour[kind.recommended_index]:g}",
            f"{kind.units_per_hour[kind.optimum_index]:g}",
            money(kind.costs[kind.optimum_index], currency),
        )
    return table


def _check_outputs(*paths: str | None) -> None:
    """Fail before any work when an output could not be written."""
    for path in paths:
        if path is None:
            continue
        folder = Path(path).resolve().parent
        if not folder.is_dir():
            raise UserError(f"{path}: folder {folder} does not exist")
        if not os.access(folder, os.W_OK):
            raise UserError(f"{path}: folder {folder} is not writable")
        if Path(path).is_dir():
            raise UserError(f"{path}: is a folder, not a file")


def _write_json(path: str, document: dict[str, object]) -> None:
    write_atomically(path, json.dumps(document, indent=2, allow_nan=False) + "\n")


def _say_written(console: Console, json_path: str | None, report_path: str | None) -> None:
    """Where the JSON and the report went, when written."""
    for label, path in (("JSON", json_path), ("Report", report_path)):
        if path:
            console.print(f"{label}: {Path(path).resolve()}")


def _fail(message: str, failure: BaseException | None = None) -> None:
    if failure is not None and os.environ.get("VELMAR_DEBUG"):
        traceback.print_exception(failure, file=sys.stderr)
    print(f"velmar: {message}", file=sys.stderr)
