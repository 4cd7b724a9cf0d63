"""Structure relaxation: calculators from potential files and ASE optimisers.

``get_calculator(potential)`` returns the ASE calculator of a potential file:
a Tersoff file gives a ``TersoffCalculator``, a ``.pth`` model file the
machine-learned ``MLCalculator`` (read and evaluated without PyTorch, which
only retraining needs: ``pip install "ferrolith[ml]"``). ``optimize_structure``
relaxes positions and the periodic cell together at a target pressure;
``relaxation_residual`` tells how far a structure is from its criterion.
"""

from ferrolith.optimization.relax import get_calculator, optimize_structure, relaxation_residual
from ferrolith.optimization.tersoff import TersoffCalculator, TersoffPotential

__all__ = [
    "TersoffCalculator",
    "TersoffPotential",
    "get_calculator",
    "optimize_structure",
    "relaxation_residual",
]
