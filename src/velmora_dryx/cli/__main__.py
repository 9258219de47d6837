import sys

from velmora_dryx.cli.app import main

sys.exit(main())
