from dataclasses import dataclass

@dataclass
class ElementData:
    atomic_num: int
    atomic_sym: str
    atomic_rad: float
    ionic_rad: float
    covalent_rad: float
    vdw_rad: float
    crystal_rad: float
    valence: float
    hard_rad: float
    amass: float

ELEMENTS: dict[str, ElementData]
