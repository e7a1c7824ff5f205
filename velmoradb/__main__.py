"""`python -m velmoradb`: the same as the `velmoradb` command."""

import sys

from velmoradb.cli import main

sys.exit(main())
