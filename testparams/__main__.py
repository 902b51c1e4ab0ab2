import sys

from testparams.cli import main

sys.exit(main())
