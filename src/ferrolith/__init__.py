"""ferrolith: materials modelling for crystal structures.

Subpackages: ``data`` (element table), ``properties`` (hardness), ``build``
(twin boundaries, polycrystals), ``io`` (VESTA and BCS files), ``core``
(geometry, decorators) and ``cli`` (the ``ferrolith`` command).
"""

try:
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("ferrolith")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0"

del version, PackageNotFoundError
