from typing import Any, Callable, Dict, Optional

from ferrolith.properties.bondvick import SimunekHardnessCalculator as SimunekHardnessCalculator

HARDNESS_METHODS: Dict[str, Callable[..., Any]]

def _validate_inputs_number(required_args: Dict[str, Optional[float]]) -> None: ...
def _calculate_chen(shear: float, bulk: float, **kwargs: Any) -> float: ...
def _calculate_tian(shear: float, bulk: float, **kwargs: Any) -> float | complex: ...
def _calculate_jiang(
    shear: Optional[float] = None, young: Optional[float] = None, **kwargs: Any
) -> float: ...
def _calculate_mazhnik(
    shear: Optional[float] = None,
    bulk: Optional[float] = None,
    young: Optional[float] = None,
    poisson: Optional[float] = None,
    **kwargs: Any,
) -> float: ...
def calculate_hardness(
    shear: Optional[float] = None,
    bulk: Optional[float] = None,
    young: Optional[float] = None,
    poisson: Optional[float] = None,
    method: str = "chen",
) -> float | complex: ...
