"""``python -m varnel``: the same program as the ``varnel`` command (see varnel.cli)."""

import sys

from varnel.cli import main

if __name__ == "__main__":
    sys.exit(main())
