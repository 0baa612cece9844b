import ast
import os
import sys

import pytest

# Lets the property tests import the reference model as `model`.
sys.path.insert(0, os.path.dirname(__file__))


@pytest.fixture
def stub_docstring():
    """The docstring the shipped type stub gives a function: the module and its stub must say the same."""
    import kelvara._core as core

    with open(os.path.join(os.path.dirname(core.__file__), "_core.pyi"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return lambda name: next(ast.get_docstring(n) for n in tree.body if getattr(n, "name", None) == name)
