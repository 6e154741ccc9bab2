"""``python -m korvit``: the ``korvit`` command."""

import sys

from korvit.cli import main

sys.exit(main())
