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
    say(f"We opened an environment and a model named {model.ModelName!r}."
        if "vantropy._brevix" in _available() else
        "We opened an environment and a model in the stand-in solver library.")

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


def _available():
    import importlib.util
    return {name for name in ("vantropy._brevix", "vantropy._quarnel")
            if importlib.util.find_spec(name) is not None}


CHAPTERS = [chapter_errors]


def main():
    for chapter in CHAPTERS:
        chapter()
    return 0


if __name__ == "__main__":
    sys.exit(main())
