"""What the two commands share."""
import os
import sys


def project_importable() -> None:
    """Make the user's project (the working directory) importable, as ``python -m`` does."""
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)
