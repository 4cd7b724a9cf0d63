"""VESTA files in ASE's own ``ase.io.read``: the ``ase.ioformats`` entry point.

ASE finds ``VESTA_FORMAT`` through the package's entry points and, when it
reads a ".vesta" file, looks up ``read_vesta`` in this module. The format is
matched by file name: ASE guesses from contents before it looks at extensions,
and a VESTA file's "CRYSTAL" line would pass for an XCrySDen file.

The format is registered for reading only, so this module has no
``write_vesta``: ferrolith's VESTA writer writes back the file that was read,
whatever the structure now holds, and through ASE's generic ``write`` that
would silently drop a user's changes.
"""

from ase.utils.plugins import ExternalIOFormat

VESTA_FORMAT = ExternalIOFormat(
    desc="VESTA structure file",
    code="1F",
    module="ferrolith.io.ase_plugin",
    ext="vesta",
    glob="*.[vV][eE][sS][tT][aA]",  # any case: file.vesta, FILE.VESTA, file.Vesta
)


def __getattr__(name):
    # ASE asks for the reader only when a file is read; importing the extension
    # module then keeps `import ase.io` light and free of import cycles.
    if name == "read_vesta":
        from ferrolith.io.vesta import read_vesta

        return read_vesta
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
