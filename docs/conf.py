"""Sphinx configuration of the brembolt-vornik documentation.

Build: pip install ".[docs]" && sphinx-build -W --keep-going docs build/docs/html
Examples in the pages run with: sphinx-build -W -b doctest docs build/docs/doctest
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))
os.environ.setdefault("SCIPY_ARRAY_API", "1")

from brembolt.vornik import __version__  # noqa: E402  (the installed package is documented)

import parameter_table  # noqa: E402

project = "brembolt-vornik"
author = "the brembolt-vornik developers"
copyright = "2026, " + author
release = version = __version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "gallery", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.json", "auto_examples/*.md5"]
templates_path = []
html_static_path = ["_static"]
html_theme = "alabaster"
html_theme_options = {"description": "2-D maps of data sets on native kernels",
                      "fixed_sidebar": True}
default_role = "literal"
primary_domain = "py"

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # numpydoc's sections carry the types
numpydoc_show_class_members = False
numpydoc_attributes_as_param_list = True

doctest_global_setup = """
import logging
import warnings

import numpy as np

warnings.simplefilter("ignore", UserWarning)
logging.getLogger("distributed").setLevel(logging.CRITICAL)  # a closing cluster's chatter
"""

sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "image_scrapers": ("gallery_scraper.figures",),
    "abort_on_example_error": True,
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
}


def setup(app):
    parameter_table.write(os.path.join(os.path.dirname(__file__), "_generated"))
