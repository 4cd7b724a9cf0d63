from typing import Any, Callable

from ferrolith.properties.bondvick import SimunekHardnessCalculator as SimunekHardnessCalculator

HARDNESS_METHODS: dict[str, Callable[..., Any]]

def _validate_inputs_number(required_args: dict[str, float | None]) -> None: ...
def _calculate_chen(shear: float, bulk: float, **kwargs: Any) -> float: ...
def _calculate_tian(shear: float, bulk: float, **kwargs: Any) -> float | complex: ...
def _calculate_jiang(
    shear: float | None = None, young: float | None = None, **kwargs: Any
) -> float: ...
def _calculate_mazhnik(
    shear: float | None = None,
    bulk: float | None = None,
    young: float | None = None,
    poisson: float | None = None,
    **kwargs: Any,
) -> float: ...
def calculate_hardness(
    shear: float | None = None,
    bulk: float | None = None,
    young: float | None = None,
    poisson: float | None = None,
    method: str = "chen",
) -> float | complex: ...
