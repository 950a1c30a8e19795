"""``python -m tarnwell.storm``: the storm case from the command line."""

import sys

from .command import main

sys.exit(main())
