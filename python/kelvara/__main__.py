import sys

from kelvara.cli import main

sys.exit(main())
