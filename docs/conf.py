"""Sphinx configuration: MyST pages, tutorials executed at build time, the reference
read from the shipped stubs and the study toolkit's sources, and every asset served
from the site itself. The pages that compute facts (T_c, the exponents) import the
installed toolkit, spinlattice_studies, as a user would; figures of runs too long for
a build are read from docs/_data/, each with its command and date."""

from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

project = "spinlattice"
author = "spinlattice developers"
copyright = "spinlattice developers"
release = version = "0.1.0"

extensions = [
    "myst_nb",
    "autoapi.extension",
    "sphinx.ext.mathjax",
    "sphinx_copybutton",
    "sphinx-mathjax-offline",  # MathJax copied into _static: no CDN at view time
    "sphinxcontrib.bibtex",
]

# The works the pages cite ({cite:p}`Onsager1944`), listed on the bibliography page.
bibtex_bibfiles = ["references.bib"]
bibtex_reference_style = "author_year"
bibtex_default_style = "plain"

root_doc = "index"
exclude_patterns = ["_build", "_data", "**.ipynb_checkpoints", "jupyter_execute"]
source_suffix = {".md": "myst-nb", ".rst": "restructuredtext"}
nitpicky = True

myst_enable_extensions = ["colon_fence", "dollarmath", "amsmath", "deflist"]
myst_heading_anchors = 3

# Tutorials run on every build whose source changed; a failing cell fails the build.
nb_execution_mode = "cache"
nb_execution_cache_path = str(ROOT / "docs" / "_build" / ".jupyter_cache")
nb_execution_timeout = 600
nb_execution_raise_on_error = True
nb_execution_show_tb = True
# Tables that cells print as Markdown are rendered as MyST (GitHub-style tables).
nb_render_markdown_format = "myst"
# No widget scripts from a CDN.
nb_ipywidgets_js = {}

# The reference: the stubs that type checkers read, and the study toolkit.
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "stubs"), str(ROOT / "python" / "spinlattice_studies")]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "reference/api"
autoapi_add_toctree_entry = False
# Kept (ignored by git): later builds reuse them, and two builds of one checkout never
# delete them under each other.
autoapi_keep_files = True
autoapi_member_order = "bysource"
autoapi_options = ["members", "undoc-members", "show-module-summary", "special-members"]
# The constructor's entry is the class's: its docstring joins the class's.
autoapi_python_class_content = "both"

html_theme = "furo"
html_title = "spinlattice"
html_static_path = ["_static"]
# Its own icon, so the browser never asks for /favicon.ico.
html_favicon = "_static/favicon.svg"
# The copy that sphinx-mathjax-offline puts into _static.
mathjax_path = "mathjax/tex-chtml.js"
html_last_updated_fmt = None
copybutton_prompt_text = r"\$ |>>> "
copybutton_prompt_is_regexp = True

# No inventories are fetched at build time (the build needs no network), so names from
# the standard library and other packages in signatures stay plain text.
nitpick_ignore_regex = [
    ("py:class", r"(collections\.abc|numpy|pathlib|concurrent\.futures|scipy|argparse|typing)\..*"),
]

# The toolkit's docstrings write |m| for the absolute magnetisation, not a substitution.
rst_prolog = r"""
.. |m| replace:: \|m\|
"""
