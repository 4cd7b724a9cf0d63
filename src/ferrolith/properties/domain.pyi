from ase import Atoms as Atoms

IONICITY_LIMIT: float
PUGH_LIMIT: float
AGREEMENT_LIMIT: float

def simunek_flags(atoms: Atoms, ionicity_factor: float) -> list[str]: ...
def moduli_flags(
    method: str,
    shear: float,
    bulk: float,
    ionicity_factor: float | None = None,
    value: float | None = None,
    simunek: float | None = None,
) -> list[str]: ...
