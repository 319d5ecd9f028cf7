"""``python -m vollan``: the command line."""

import sys

from vollan.cli import main

sys.exit(main())
