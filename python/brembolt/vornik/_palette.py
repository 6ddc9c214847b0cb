"""The colours of classes, shared by the pictures and the interactive page."""

# Unlabelled points: light grey, beneath the classes, in no legend.
UNLABELLED_COLOUR = "#d3d3d3"
# Class colours: matplotlib's tab10 without its grey (which the unlabelled
# grey would echo), then colours chosen so that no two of the 20, nor any and
# the unlabelled grey, are closer in CIELAB than tab10's closest pair. Beyond
# 20 classes the colours repeat.
PALETTE_20 = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2",
              "#bcbd22", "#17becf", "#0000ff", "#ff1eff", "#004b2d", "#00f000", "#ffc387",
              "#5a00a5", "#a5e1a5", "#ff0078", "#78004b", "#69690f", "#0069ff")
