"""python -m toviipc: the toviipc tool's server, client and shm-read commands in Python."""

import sys

from ._cli import main

sys.exit(main(sys.argv[1:]))
