"""The package's values that come from the core: one version ordering for Python and C++, and the
failure kinds tools branch on."""

import pytest

from kestrix import KRXFlash, KRXUtils, _core


def test_ver_is_the_cores_version_value():
    assert KRXUtils.VER is _core.VER is KRXFlash.VER
    assert KRXUtils.VER("1.2") == KRXUtils.VER("1.2.0") and hash(KRXUtils.VER("1.2")) == hash(
        KRXUtils.VER("1.2.0.0")
    )
    assert KRXUtils.VER("0.9") < KRXUtils.VER("0.10") <= KRXUtils.VER("0.10.0")
    assert str(KRXUtils.VER(" 01.2 ")) == "1.2" and repr(KRXUtils.VER("1.2")) == "VER('1.2')"


@pytest.mark.parametrize("text", ["\u0661.\u0662", "1.2a", "", "1..2"])
def test_ver_refuses_what_the_core_refuses_unicode_digits_included(text):
    with pytest.raises(ValueError, match="Invalid version"):
        KRXUtils.VER(text)


def test_every_failure_has_a_label_and_a_category():
    labels = {f.label for f in _core.Failure.__members__.values()}
    assert len(labels) == len(_core.Failure.__members__)
    assert _core.Failure.NONE.category == _core.FailureCategory.NONE
    assert _core.Failure.IMAGE_DEVICE_TYPE.category == _core.FailureCategory.INPUT
    assert _core.Failure.TIMEOUT.category == _core.FailureCategory.DEVICE
    assert _core.Failure.VERIFY_FAILED.category == _core.FailureCategory.UPDATE
    assert _core.Failure.INTERRUPTED.label == "interrupted"
