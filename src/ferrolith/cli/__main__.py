"""``python -m ferrolith.cli``: the command-line tool."""

from ferrolith.cli import main

raise SystemExit(main())
