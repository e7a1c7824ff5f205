"""The tests exercise the installed distribution, not the source tree.

The package's extension module velmoradb._core exists only in the installed
package; `python -m pytest` run from the checkout would put the checkout
first on sys.path, where `velmoradb` has no compiled module. The checkout is
taken off sys.path here, and PYTHONSAFEPATH keeps it off in the interpreters
the tests start (`python -c`, `python -m velmoradb`).
"""

import os
import sys

_checkout = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _checkout]
os.environ["PYTHONSAFEPATH"] = "1"
