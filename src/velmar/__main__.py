"""`python -m velmar` runs the `velmar` command."""

import sys

from velmar.cli import main

sys.exit(main())
