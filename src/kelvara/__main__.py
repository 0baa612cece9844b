"""`python -m kelvara`: the command line."""

import sys

from kelvara.cli import main

sys.exit(main())
