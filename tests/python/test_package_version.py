"""One version number, pyproject.toml's: the installed distribution, the package and the core's
update records all carry it."""

from importlib.metadata import version

import kestrix
from kestrix.fleet import Failure, update_fleet


def test_package_version_is_the_installed_distributions():
    assert kestrix.__version__ == version("kestrix")
    assert kestrix.__version__[0].isdigit()


def test_update_records_name_the_same_version(tmp_path):
    # A missing image fails before the device is contacted; its record still names the tool.
    (result,) = update_fleet(str(tmp_path / "missing.bin"), ["127.0.0.1:9"])
    assert result.failure == Failure.IMAGE_MISSING
    assert result.tool_version == kestrix.__version__
