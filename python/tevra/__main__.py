"""``python -m tevra``: the ``tevra`` command."""

import sys

from tevra.cli import main

sys.exit(main())
