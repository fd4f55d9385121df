"""python3 -m ovikline: the ovikline command."""

import sys

from .cli import main

sys.exit(main())
