"""Many plans at once, one per group of an export, on Dask: the run (`run`), its rows and
checkpoint (`results`), its summary page (`report`) and the cluster it runs on (`cluster`)."""

from velmar.batch.run import BatchProgress, BatchResult, plan_group, plan_many, prices_of_kinds

__all__ = ["BatchProgress", "BatchResult", "plan_group", "plan_many", "prices_of_kinds"]
