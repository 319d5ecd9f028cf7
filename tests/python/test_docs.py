"""help() shows a numpy-style docstring with a working example for every public function, the
engine's functions included, while they stay the engine's own objects."""

from __future__ import annotations

import doctest
import inspect
import pickle
import pydoc

import pytest

import _vollan_native as native
import vollan
from vollan import _engine, datasets, metrics

ENGINE = list(native.__all__)
PUBLIC = [
    (module, name)
    for module in (vollan, metrics, datasets)
    for name in module.__all__
    if inspect.isroutine(getattr(module, name))
]


@pytest.mark.parametrize(("module", "name"), PUBLIC, ids=lambda v: getattr(v, "__name__", v))
def test_help_shows_a_numpy_docstring_with_an_example(module, name):
    text = pydoc.render_doc(getattr(module, name), renderer=pydoc.plaintext)
    for section in ("Returns\n    -------", "Examples\n    --------", ">>> "):
        assert section in text, f"{module.__name__}.{name} lacks {section!r}"
    if inspect.signature(getattr(module, name)).parameters:
        assert "Parameters\n    ----------" in text


@pytest.mark.parametrize(("module", "name"), PUBLIC, ids=lambda v: getattr(v, "__name__", v))
def test_examples_run(module, name):
    doc = inspect.getdoc(getattr(module, name))
    globs = dict(vars(module))
    test = doctest.DocTestParser().get_doctest(doc, globs, f"{module.__name__}.{name}", None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert test.examples and runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("name", ENGINE)
def test_engine_functions_stay_the_engines_own(name):
    function = getattr(vollan, name)
    assert function is getattr(native, name)
    assert function.__doc__ is None  # the engine's docstring is its signature only
    assert inspect.getdoc(function) == inspect.cleandoc(_engine._DOCS[name])
    assert pickle.loads(pickle.dumps(function)) is function
    assert name not in vars(native) or vars(native)[name] is function


def test_every_engine_function_is_documented():
    assert sorted(_engine._DOCS) == sorted(ENGINE)


def test_documented_refuses_a_name_the_engine_lacks():
    with pytest.raises(AttributeError, match="_vollan_native has no function 'scan'"):
        _engine.documented("scan", "text")
