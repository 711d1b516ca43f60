"""Sphinx configuration of quendle's documentation.

Built by the test command's docs session (`.venv/bin/nox -s docs`) with the
wheel installed, so autodoc imports the real module:
`python -m sphinx -W --keep-going -n -b html docs build/docs/html`.
"""

import doctest
import os
import sys

import quendle

# The example model documented with autodoc on the Sphinx page.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

project = "quendle"
author = "the quendle developers"
copyright = "2026, the quendle developers"
release = version = quendle.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest", "quendle_sphinx"]

exclude_patterns = ["_build"]
nitpicky = True
# No network for intersphinx: names of the standard library stay plain text.
nitpick_ignore_regex = [(r"py:(class|exc|func|meth|mod|obj)", r"(builtins\.)?(int|float|str|bool|dict|list|tuple|set|"
                         r"object|None|type|Exception|BaseException|KeyError|ValueError|TypeError|RuntimeError|"
                         r"AttributeError|OSError|NotImplementedError|RecursionError|collections\.abc\..*|"
                         r"typing\..*|inspect\..*|functools\..*|pickle\..*|copy\..*|types\..*)")]

autodoc_member_order = "bysource"
autoclass_content = "class"

# Examples are checked (`-b doctest`) with their messages: only ELLIPSIS relaxes them.
doctest_default_flags = doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1

html_theme = "alabaster"
html_static_path: list[str] = []
