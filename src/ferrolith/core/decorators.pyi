from types import ModuleType
from typing import Any
from typing import Callable as Callable
from typing import ParamSpec as ParamSpec
from typing import TypeVar as TypeVar

functools: ModuleType

P = ParamSpec("P")
R = TypeVar("R")

def extended_func_decorator(
    func: Callable[P, R], func_ext: Callable[..., Any]
) -> Callable[P, R]: ...

class _ExtendedFunction:
    """A base function extended by a fallback (see extended_func_decorator)."""

    __wrapped__: Callable[..., Any]
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
