"""`python -m tovalib_data build ...` (see `tovalib_data.cli`)."""

from tovalib_data.cli import main

raise SystemExit(main())
