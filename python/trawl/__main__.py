"""python -m trawl: the same program as the trawl command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
