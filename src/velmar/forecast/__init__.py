"""Planning for the future a purchase pays off over: forecast scenarios, expected cost, risk, a schedule."""

from velmar.forecast.forward import ForwardPlan, plan_forward
from velmar.forecast.scenarios import make_scenarios

__all__ = ["ForwardPlan", "make_scenarios", "plan_forward"]
