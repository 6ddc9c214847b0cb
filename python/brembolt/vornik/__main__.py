from ._cli import main

raise SystemExit(main())
