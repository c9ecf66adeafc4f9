"""Plans prepaid compute commitments from billing exports.

Reads usage and prices (`velmar.data`), recommends a portfolio with a proven lower
bound on its cost, and reports it; the numerical work is done by `velmar_backend`.
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("velmar")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0+unknown"
