"""``python -m tevra``: the ``tevra`` command."""

import sys

try:
    from tevra.cli import main
except KeyboardInterrupt:
    # Ctrl-C while the command was still loading: nothing ran.
    sys.stderr.write("tevra: interrupted\n")
    sys.exit(130)

code = main()
# The interpreter's shutdown would walk every object in collections nothing here needs:
# what is still open was closed by the command, and atexit handlers still run.
import gc  # noqa: E402

gc.freeze()
sys.exit(code)
