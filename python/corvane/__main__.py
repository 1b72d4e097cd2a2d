"""``python -m corvane``: the same as the ``corvane`` command."""

import sys

from .command.cli import main

sys.exit(main())
