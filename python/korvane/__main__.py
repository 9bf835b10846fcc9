"""Main program: with arguments, the `korvane` command (korvane.cli); without, the
substituted-halogen test, its figure saved to /tmp/vif_halogen.png."""
import sys

if len(sys.argv) > 1:
    from .cli import main
    sys.exit(main())
from .demos import halogen_test
halogen_test(save="/tmp/vif_halogen.png")
