"""``python -m tevra``: the ``tevra`` command."""

import sys

try:
    from tevra.cli import main
except KeyboardInterrupt:
    # Ctrl-C while the command was still loading: nothing ran.
    sys.stderr.write("tevra: interrupted\n")
    sys.exit(130)

sys.exit(main())
