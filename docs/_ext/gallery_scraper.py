"""Gallery pictures: every matplotlib Figure an example block leaves in its globals.

plot_embedding draws on Figures of its own, outside pyplot, so the gallery's
pyplot scraper would not see them; this one saves each new Figure once.
"""

import weakref

from matplotlib.figure import Figure
from sphinx_gallery.scrapers import figure_rst

_saved = weakref.WeakSet()


def figures(block, block_vars, gallery_conf):
    paths = []
    for value in list(block_vars["example_globals"].values()):
        if isinstance(value, Figure) and value not in _saved:
            _saved.add(value)
            path = next(block_vars["image_path_iterator"])
            value.savefig(path)
            paths.append(path)
    return figure_rst(paths, gallery_conf["src_dir"])
