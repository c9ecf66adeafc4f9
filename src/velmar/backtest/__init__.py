"""How buying rules would have done: decisions over a history, each paid for by the usage that followed."""

from velmar.backtest.rules import DEFAULT_RULES, Decision, Rule, parse_rule, parse_rules
from velmar.backtest.runner import REGRET_DEFINITION, BacktestResult, RuleOutcome, run_backtest

__all__ = [
    "DEFAULT_RULES",
    "REGRET_DEFINITION",
    "BacktestResult",
    "Decision",
    "Rule",
    "RuleOutcome",
    "parse_rule",
    "parse_rules",
    "run_backtest",
]
