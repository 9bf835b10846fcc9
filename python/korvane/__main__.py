"""Main program: the substituted-halogen test, its figure saved to /tmp/vif_halogen.png."""
import korvane

korvane.halogen_test(save="/tmp/vif_halogen.png")
