import sys

from vexa.cli import main

sys.exit(main())
