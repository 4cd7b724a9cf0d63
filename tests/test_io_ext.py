"""The extended read and write: ASE first, BCS files by suffix when ASE fails."""

import inspect
from pathlib import Path

import ase.io
import pytest
from ase.build import bulk
from ase.io.formats import UnknownFileTypeError

from ferrolith.core.decorators import extended_func_decorator
from ferrolith.io import bcs, ext
from ferrolith.io.ext import Trajectory, read, write

pytestmark = pytest.mark.filterwarnings("ignore:Set OLD_ERROR_HANDLING:DeprecationWarning")

ROCK_SALT = (Path(__file__).parent / "data" / "bcs" / "rock_salt.bcs").read_text()


@pytest.fixture
def rock_salt_file(tmp_path):
    def make(name):
        path = tmp_path / name
        path.write_text(ROCK_SALT)
        return str(path)

    return make


class TestModule:
    def test_names(self):
        assert ext.__all__ == ["read", "write", "Trajectory"]
        assert Trajectory is ase.io.Trajectory
        assert ext.ase_read is ase.io.read and ext.ase_write is ase.io.write
        assert ext.read_bcs is bcs.read_bcs and ext.write_bcs is bcs.write_bcs
        assert ext.extended_func_decorator is extended_func_decorator

    def test_read_and_write_look_like_ase(self):
        assert read.__name__ == "read" and write.__name__ == "write"
        assert read.__doc__ == ase.io.read.__doc__ and write.__doc__ == ase.io.write.__doc__
        assert read.__wrapped__ is ase.io.read and write.__wrapped__ is ase.io.write
        assert inspect.signature(read) == inspect.signature(ase.io.read)
        assert inspect.signature(write) == inspect.signature(ase.io.write)


class TestRead:
    @pytest.mark.parametrize("name", ["model.bcs", "model.BCS", "model.Bcs", "a.b.bcs"])
    def test_bcs_suffix_in_any_case(self, name, rock_salt_file):
        atoms = read(rock_salt_file(name))
        assert len(atoms) == 8 and atoms.info["spacegroup"].no == 225

    @pytest.mark.parametrize("name", ["model_bcs", "model.bcsx", ".bcs"])
    def test_other_names_stay_with_ase(self, name, rock_salt_file):
        with pytest.raises(UnknownFileTypeError) as info:
            read(rock_salt_file(name))
        assert isinstance(info.value.__context__, UnknownFileTypeError)

    def test_last_suffix_decides(self, rock_salt_file):
        # ".gz" is the suffix: ASE's error for a file that is not gzip, twice.
        with pytest.raises(OSError, match="Not a gzipped file") as info:
            read(rock_salt_file("model.bcs.gz"))
        assert isinstance(info.value.__context__, OSError)

    def test_path_object_is_refused_after_ase_failed(self, rock_salt_file):
        with pytest.raises(TypeError, match="filename must be a str, not PosixPath") as info:
            read(Path(rock_salt_file("model.bcs")))
        assert isinstance(info.value.__context__, UnknownFileTypeError)

    @pytest.mark.parametrize("filename", [b"model.bcs", None])
    def test_other_types_are_refused(self, filename):
        with pytest.raises(TypeError):
            ext._read_ext(filename)

    def test_str_subclass_is_refused(self, rock_salt_file):
        class Name(str):
            pass

        with pytest.raises(TypeError):
            ext._read_ext(Name(rock_salt_file("model.bcs")))

    def test_index_and_format_are_ignored_for_bcs(self, rock_salt_file):
        atoms = read(rock_salt_file("model.bcs"), index=":", format="bcs")
        assert len(atoms) == 8
        assert (
            ext._read_ext(filename=rock_salt_file("m.bcs"), index=0).get_chemical_formula()
            == "Cl4Na4"
        )

    def test_ase_success_wins_whatever_the_suffix(self, tmp_path):
        path = tmp_path / "really_xyz.bcs"
        ase.io.write(path, bulk("Cu"), format="extxyz")
        assert read(str(path), format="extxyz") == ase.io.read(path, format="extxyz")

    def test_missing_file_is_tried_twice_by_ase(self, tmp_path, monkeypatch):
        calls = []

        def counting_read(*args, **kwargs):
            calls.append(args)
            return ase.io.read(*args, **kwargs)

        monkeypatch.setattr(ext, "ase_read", counting_read)
        extended = extended_func_decorator(counting_read, ext._read_ext)
        missing = str(tmp_path / "missing.xyz")
        with pytest.raises(FileNotFoundError) as info:
            extended(missing, index=0)
        assert calls == [(missing,), (missing,)]
        assert isinstance(info.value.__context__, FileNotFoundError)

    def test_missing_bcs_file(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            read(str(tmp_path / "missing.bcs"))

    def test_other_files_read_as_ase_reads_them(self, tmp_path):
        path = tmp_path / "cu.xyz"
        ase.io.write(path, bulk("Cu"))
        assert read(str(path)) == ase.io.read(path)


class TestWrite:
    @pytest.mark.parametrize("name", ["out.bcs", "OUT.BCS"])
    def test_bcs_files(self, name, tmp_path):
        atoms = bulk("NaCl", "rocksalt", a=5.64, cubic=True)
        path = tmp_path / name
        assert write(str(path), atoms) is None
        bcs.write_bcs(tmp_path / "direct", atoms)
        assert path.read_text() == (tmp_path / "direct").read_text()
        assert path.read_text().startswith(ROCK_SALT[:200])

    def test_path_objects_work_for_writing(self, tmp_path):
        write(tmp_path / "out.bcs", bulk("NaCl", "rocksalt", a=5.64, cubic=True))
        assert len(read(str(tmp_path / "out.bcs"))) == 8

    def test_extra_arguments_reach_write_bcs(self, tmp_path, monkeypatch):
        seen = []
        monkeypatch.setattr(
            ext, "write_bcs", lambda *args, **kwargs: seen.append((args, kwargs)) or "dropped"
        )
        atoms = bulk("Cu")
        assert write(str(tmp_path / "x.bcs"), atoms, symprec=0.1) is None
        assert seen == [((str(tmp_path / "x.bcs"), atoms), {"symprec": 0.1})]

    def test_symprec_through_write(self, tmp_path):
        atoms = bulk("NaCl", "rocksalt", a=5.64, cubic=True)
        atoms.positions[0] += [0.02, 0, 0]
        write(str(tmp_path / "loose.bcs"), atoms, symprec=0.1)
        write(str(tmp_path / "tight.bcs"), atoms, symprec=1e-4)
        assert (tmp_path / "loose.bcs").read_text().splitlines()[1] == "225"
        assert (tmp_path / "tight.bcs").read_text().splitlines()[1] != "225"

    def test_unknown_argument_is_a_type_error(self, tmp_path):
        with pytest.raises(TypeError):
            write(str(tmp_path / "x.bcs"), bulk("Cu"), tolerance=0.1)

    def test_structure_by_ase_keyword_is_missing_for_bcs(self, tmp_path):
        with pytest.raises(TypeError):
            write(str(tmp_path / "x.bcs"), images=bulk("Cu"))

    def test_known_format_under_a_bcs_name(self, tmp_path):
        path = tmp_path / "x.bcs"
        write(str(path), bulk("Cu"), format="xyz")
        assert ase.io.read(path, format="xyz").get_chemical_symbols() == ["Cu"]

    def test_other_files_are_ase_files(self, tmp_path):
        path = tmp_path / "cu.cif"
        write(str(path), bulk("Cu"))
        assert ase.io.read(path).get_chemical_symbols() == ["Cu"]

    def test_failure_of_other_files_comes_from_ase(self, tmp_path):
        with pytest.raises(UnknownFileTypeError) as info:
            write(str(tmp_path / "x.nosuchformat"), bulk("Cu"))
        assert isinstance(info.value.__context__, UnknownFileTypeError)


class TestWriteKeepsTheOldFile:
    """Every format written to a path goes through a temporary file."""

    def test_bad_keyword_leaves_the_old_file(self, tmp_path):
        path = tmp_path / "x.cif"
        path.write_text("old")
        with pytest.raises(TypeError):
            write(str(path), bulk("Cu"), bogus_kw=1)
        assert path.read_text() == "old" and sorted(tmp_path.iterdir()) == [path]

    @pytest.mark.parametrize("name", ["x.cif", "x.xyz.gz", "POSCAR", "x.traj", "x.db"])
    def test_formats_are_still_guessed_from_the_real_name(self, tmp_path, name):
        atoms = bulk("NaCl", "rocksalt", a=5.64)
        path = tmp_path / name
        path.write_text("old")
        write(path, atoms)
        back = ase.io.read(path)  # ASE guesses from the name (and the .gz) too
        assert back.get_chemical_symbols() == ["Na", "Cl"]
        assert back.cell.cellpar() == pytest.approx(atoms.cell.cellpar(), abs=1e-4)
        assert back.get_scaled_positions() == pytest.approx(atoms.get_scaled_positions(), abs=1e-5)
        assert sorted(p.name for p in tmp_path.iterdir()) == [name]

    def test_unknown_format_leaves_the_old_file(self, tmp_path):
        path = tmp_path / "x.nosuchformat"
        path.write_text("old")
        with pytest.raises(UnknownFileTypeError):
            write(str(path), bulk("Cu"))
        assert path.read_text() == "old"

    def test_append_adds_to_what_was_there(self, tmp_path):
        path = tmp_path / "run.xyz"
        write(str(path), bulk("Cu"))
        write(str(path), bulk("Al"), append=True)
        assert [a.get_chemical_symbols() for a in ase.io.read(path, ":")] == [["Cu"], ["Al"]]

    def test_open_files_and_standard_output_are_written_as_ase_does(self, tmp_path, capsys):
        with open(tmp_path / "open.xyz", "w") as fd:
            write(fd, bulk("Cu"), format="xyz")
        assert ase.io.read(tmp_path / "open.xyz").get_chemical_symbols() == ["Cu"]
        write("-", bulk("Cu"), format="xyz")
        assert capsys.readouterr().out.splitlines()[0] == "1"
