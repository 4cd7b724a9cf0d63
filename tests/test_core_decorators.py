"""The function-extension decorator: identity, fallback, chaining, threads."""

import copy
import functools
import inspect
import sys
import threading
import typing

import pytest

from ferrolith.core import decorators
from ferrolith.core.decorators import P, R, extended_func_decorator


class Recorder:
    """A function that records its calls and then returns or raises."""

    def __init__(self, outcome):
        self.outcome = outcome
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, dict(kwargs)))
        if isinstance(self.outcome, BaseException) or (
            isinstance(self.outcome, type) and issubclass(self.outcome, BaseException)
        ):
            raise self.outcome
        return self.outcome


def base_function(path: str, index: int = 0) -> str:
    """Base documentation."""
    raise OSError("base failed")


base_function.registry_entry = "kept"


class TestIdentity:
    def test_matches_functools_wraps(self):
        wrapper = extended_func_decorator(base_function, Recorder("ext"))

        @functools.wraps(base_function)
        def reference(*args, **kwargs):
            pass

        for name in functools.WRAPPER_ASSIGNMENTS:
            assert getattr(wrapper, name) == getattr(reference, name), name
        assert wrapper.__name__ == "base_function"
        assert wrapper.__qualname__ == "base_function"
        assert wrapper.__module__ == __name__
        assert wrapper.__doc__ == "Base documentation."
        assert wrapper.__annotations__ == {"path": str, "index": int, "return": str}
        assert wrapper.registry_entry == "kept"
        assert wrapper.__wrapped__ is base_function
        assert inspect.signature(wrapper) == inspect.signature(base_function)
        assert inspect.unwrap(wrapper) is base_function

    def test_own_identity_shows_where_the_base_has_none(self):
        wrapper = extended_func_decorator(functools.partial(max, 0), min)
        assert wrapper.__name__ == "wrapper"
        assert wrapper.__qualname__ == "extended_func_decorator.<locals>.wrapper"
        assert wrapper.__module__ == "functools"  # partial objects do have one
        assert wrapper.__annotations__ == {"args": P.args, "kwargs": P.kwargs, "return": R}
        assert wrapper(5) == 5

    def test_typing_objects(self):
        assert isinstance(P, typing.ParamSpec) and P.__name__ == "P"
        assert isinstance(R, typing.TypeVar) and R.__name__ == "R"
        assert decorators.functools is functools
        assert decorators.Callable is typing.Callable

    def test_repr_copy_and_methods(self):
        wrapper = extended_func_decorator(base_function, Recorder("ext"))
        assert repr(wrapper).startswith("<function base_function at 0x")
        assert copy.copy(wrapper) is wrapper and copy.deepcopy(wrapper) is wrapper

        class Holder:
            method = extended_func_decorator(lambda self, x: (self, x), Recorder(None))

        holder = Holder()
        assert holder.method(3) == (holder, 3)
        assert Holder.method(holder, 4) == (holder, 4)


class TestArguments:
    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            ((len,), {}),
            ((len, len, len), {}),
            ((len, len), {"extra": 1}),
            ((len,), {"func": len}),
        ],
    )
    def test_exactly_two_functions(self, args, kwargs):
        with pytest.raises(TypeError):
            extended_func_decorator(*args, **kwargs)

    def test_by_keyword_and_unchecked(self):
        wrapper = extended_func_decorator(func_ext=lambda: "ext", func=None)
        # Calling None fails like any other base failure.
        assert wrapper() == "ext"
        assert extended_func_decorator(1, 2) is not None


class TestFallback:
    def test_successful_base_is_the_only_call(self):
        base, ext = Recorder("base"), Recorder("ext")
        assert extended_func_decorator(base, ext)(1, k=2) == "base"
        assert base.calls == [((1,), {"k": 2})]
        assert ext.calls == []

    def test_none_is_a_result(self):
        base, ext = Recorder(None), Recorder("ext")
        assert extended_func_decorator(base, ext)() is None
        assert ext.calls == []

    @pytest.mark.parametrize(
        "error",
        [
            ValueError("v"),
            TypeError,
            KeyboardInterrupt,
            SystemExit(3),
            GeneratorExit,
            BaseException,
        ],
    )
    def test_any_exception_hands_over(self, error, capsys):
        base, ext = Recorder(error), Recorder("ext")
        assert extended_func_decorator(base, ext)("a", b=1) == "ext"
        assert ext.calls == [(("a",), {"b": 1})]
        captured = capsys.readouterr()
        assert captured.out == captured.err == ""

    def test_same_positional_objects(self):
        seen = []
        marker = object()

        def base(obj):
            seen.append(obj)
            raise RuntimeError

        extended_func_decorator(base, lambda obj: seen.append(obj))(marker)
        assert seen[0] is marker and seen[1] is marker

    def test_fresh_keyword_dictionaries(self):
        received = []

        def base(**kwargs):
            received.append(kwargs)
            kwargs["format"] = "changed"
            kwargs.pop("index")
            raise ValueError

        def ext(**kwargs):
            received.append(kwargs)
            return dict(kwargs)

        caller = {"index": 1, "format": "xyz"}
        assert extended_func_decorator(base, ext)(**caller) == {"index": 1, "format": "xyz"}
        assert caller == {"index": 1, "format": "xyz"}
        assert received[0] is not received[1]

    def test_extension_error_has_the_base_error_as_context(self):
        base_error = OSError("base")
        ext_error = ValueError("ext")
        wrapper = extended_func_decorator(Recorder(base_error), Recorder(ext_error))
        with pytest.raises(ValueError) as info:
            wrapper()
        assert info.value is ext_error
        assert info.value.__context__ is base_error
        assert base_error.__traceback__ is not None

    def test_extension_sees_the_base_error_as_the_one_handled(self):
        seen = []

        def ext():
            seen.append(sys.exc_info()[1])
            return "ext"

        error = KeyError("k")
        assert extended_func_decorator(Recorder(error), ext)() == "ext"
        assert seen == [error]
        assert sys.exc_info() == (None, None, None)

    def test_outer_handled_exception_is_restored(self):
        wrapper = extended_func_decorator(Recorder(OSError()), lambda: sys.exc_info()[1])
        outer = RuntimeError("outer")
        try:
            raise outer
        except RuntimeError:
            inner = wrapper()
            assert sys.exc_info()[1] is outer
        assert isinstance(inner, OSError)

    def test_compiled_extension_errors_chain_too(self):
        # int() raising from C code gets its context as a Python raise would.
        wrapper = extended_func_decorator(Recorder(OSError("base")), int)
        with pytest.raises(ValueError) as info:
            wrapper("x")
        assert isinstance(info.value.__context__, OSError)

    def test_names_rebound_later_do_not_matter(self):
        def base():
            raise ValueError

        def ext():
            return "first"

        wrapper = extended_func_decorator(base, ext)

        def ext():
            return "second"

        assert wrapper() == "first"


class TestThreads:
    def test_concurrent_calls_keep_their_own_arguments(self):
        def base(n, *, tag):
            if n % 2:
                raise ValueError(n)
            return ("base", n, tag)

        def ext(n, *, tag):
            return ("ext", n, tag)

        wrapper = extended_func_decorator(base, ext)
        n_threads, n_calls = 8, 300
        barrier = threading.Barrier(n_threads)
        results = [None] * n_threads

        def work(t):
            barrier.wait()
            results[t] = [wrapper(t * n_calls + i, tag=t) for i in range(n_calls)]

        threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for t, got in enumerate(results):
            expected = [
                ("ext" if n % 2 else "base", n, t) for n in range(t * n_calls, (t + 1) * n_calls)
            ]
            assert got == expected
