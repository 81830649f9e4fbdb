"""A short tour of vantropy's native core, run against the stand-in solver.

Each chapter shows one module at work and says in plain words what happens.
Run it after installing the package:  python examples/tour.py
"""
import sys


def say(text=""):
    print(text)


def chapter_errors():
    from vantropy import _standin
    from vantropy._core import Env, Model
    from vantropy._exception import VantroError

    say("Chapter 1: errors from the solver")
    say("---------------------------------")
    env = Env()
    model = Model("tour", env=env)
    say(f"We opened an environment and a model named {model.ModelName!r}.")

    err = VantroError(10001, "Something went wrong in our own code")
    say(f"A VantroError built from text keeps it: errno {err.errno}, message {err.message!r}.")

    failed = Env(license="no-such-licence")
    err = VantroError(7003, failed)
    say(f"An environment whose creation failed has no handle; its error reads {str(err)!r}.")

    _standin.set_error_message(model, b"Unknown attribute 'Colour'")
    err = VantroError(7004, model)
    say(f"Built from a model, the error asks the library for its last message: {str(err)!r}.")

    _standin.set_error_message(model, b"Bad byte \xff in the solver's text")
    say(f"Text that is not valid UTF-8 is shown with a replacement mark: {VantroError(1, model).message!r}.")

    try:
        raise VantroError(7006, "Index 7 out of range for attribute 'LB'")
    except VantroError as caught:
        say(f"Raised and caught like any exception: {caught!r}.")
    model.dispose()
    say()


def chapter_attributes():
    import math

    from vantropy import _brevix, _standin
    from vantropy._core import Model
    from vantropy._exception import VantroError
    from vantropy._vnt import VNT

    say("Chapter 2: solver attributes")
    say("----------------------------")
    model = Model("tour")
    model.ModelName = "plan"
    model.TimeLimit = 60.0
    say(f"The model is now called {model.ModelName!r}, with a time limit of {model.TimeLimit} seconds.")
    say(f"No objective value has been computed, so the solver gives its 'undefined' marker: {model.ObjValue:g}.")

    x = model.addVar(name="x")
    x.UB = float("inf")
    x.Kind = "I"
    say(f"Variable {x.VarName!r} has lower bound {x.LB}, upper bound {x.UB} and kind {x.Kind!r}.")
    say(f"Its infinite upper bound is kept in the library as {_standin.raw_get(model, 'UB', 0):g}, "
        "the solver's own infinity, and reads back as inf.")
    solver_names = [name for name in dir(x) if name[:1].isupper()]
    say(f"dir() of a variable lists its solver attributes: {', '.join(solver_names)}.")
    say(f"An attribute that variables do not have is simply missing: hasattr(x, 'RHS') is {hasattr(x, 'RHS')}.")

    count = 100_000
    for _ in range(count - 1):
        model.addVar()
    bounds = [math.inf if i % 4 == 0 else float(i % 10) for i in range(count)]
    _standin.reset_calls(model)
    _brevix._settypedattrlist(model, "UB", VNT.DOUBLE, range(count), bounds)
    read_back = _brevix._gettypedattrlist(model, "UB", VNT.DOUBLE, range(count))
    calls = _standin.calls(model)
    say(f"We wrote {count:,} upper bounds in {calls['VNTsetdblattrlist']} library call and read them "
        f"back in {calls['VNTgetdblattrlist']}; they {'match' if read_back == bounds else 'DIFFER'}.")

    removed = model.getVars()[1]
    model.remove(removed)
    try:
        removed.LB
    except VantroError as err:
        say(f"Reading a variable after removing it from the model raises VantroError: {err}.")

    _standin.set_busy(model, True)
    try:
        x.LB
    except AttributeError as err:
        say(f"While the solver is busy optimising, a read is refused: {err}.")
    _standin.set_busy(model, False)
    model.dispose()
    say()


def chapter_model_utilities():
    import numpy as np

    from vantropy import _quarnel
    from vantropy._core import Model
    from vantropy._exception import VantroError
    from vantropy._matrixapi import MLinExpr, MVar

    say("Chapter 3: model utilities")
    say("--------------------------")
    model = Model("tour")
    x, y = model.addVar(name="x"), model.addVar(name="y")

    for arg in (4, x, 2 * x + y + x + 3):
        say(f"_simpleexpr({arg!r}) gives {_quarnel._simpleexpr(arg)!r}.")
    say("A number, a variable and an expression all become one normalised linear "
        "expression: the two x terms above were merged.")

    say(f"y is at solver index {_quarnel._extract_varlike_cindex(y, model)} of the model that owns it.")
    other = Model("other")
    try:
        _quarnel._extract_varlike_cindex(y, other)
    except VantroError as err:
        say(f"Asked with a model that does not own it, the check refuses: {err}.")
    other.dispose()

    names = _quarnel._nd_indexed_names("x", (2, 3))
    say(f"A 2 x 3 family named x has the element names {', '.join(names)}.")

    lists = _quarnel._listify(["a", "b"], 2, cost={("b", 1): 5.0}, kind="I")
    say(f"_listify(['a', 'b'], 2) indexes {lists.len} elements: {lists.index}.")
    say(f"Keyword data per element: cost {lists.listify('cost', 0.0)}, "
        f"kind {lists.listify('kind', 'C')}.")

    say(f"The codes 0, 3 and 5 make the bit mask {_quarnel._wheres_bitvector([0, 3, 5]):#b}.")

    items = (f"{city}-{day}" for city in ("Oslo", "Rome") for day in (1, 2))
    key = _quarnel._genexpr_key(items)
    keyed = {}
    for item in items:
        keyed[key()] = item
    say(f"A generator expression keyed by its loop variables as it runs: {keyed}.")

    xs = MVar.fromlist([x, y])
    split = MLinExpr(np.array([x + 2.5, y - 1.0], dtype=object))
    variables, values = _quarnel._convert_mle_to_predvar_predval(split)
    same = variables.tolist() == xs.tolist()
    say(f"The matrix expression [x + 2.5, y - 1] splits into the variables "
        f"{'x and y' if same else variables.tolist()} and the values {values.tolist()} "
        "at which each element is zero.")
    cannot = _quarnel._convert_mle_to_predvar_predval(MLinExpr(np.array([2 * x], dtype=object)))
    say(f"[2 x] has a coefficient other than 1, so it cannot be split: {cannot}.")
    model.dispose()
    say()


CHAPTERS = [chapter_errors, chapter_attributes, chapter_model_utilities]


def main():
    for chapter in CHAPTERS:
        chapter()
    return 0


if __name__ == "__main__":
    sys.exit(main())
