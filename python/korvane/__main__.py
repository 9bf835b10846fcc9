"""Main program: with arguments, the `korvane` command (korvane.cli); without, the
substituted-halogen test, its figure saved to /tmp/vif_halogen.png."""
import sys

import korvane

if len(sys.argv) > 1:
    from korvane.cli import main
    sys.exit(main())
korvane.halogen_test(save="/tmp/vif_halogen.png")
