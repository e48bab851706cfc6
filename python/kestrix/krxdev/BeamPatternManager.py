"""The beam pattern manager: one beam entry per (mode, beam id), made on first use."""

from typing import Any, Dict, Hashable, Tuple

__all__ = ["BeamPatternManager", "BeamEntry"]


class BeamEntry:
    """The stored settings of one beam."""

    __slots__ = ("mode", "beam_id", "settings")

    def __init__(self, mode: Hashable, beam_id: int) -> None:
        self.mode = mode
        self.beam_id = beam_id
        self.settings: Dict[str, Any] = {}

    def __repr__(self) -> str:
        return f"BeamEntry({self.mode!r}, {self.beam_id}, {self.settings!r})"


class BeamPatternManager:
    """Holds one :class:`BeamEntry` per (mode, beam id), created the first time it is asked for."""

    def __init__(self) -> None:
        self._beams: Dict[Tuple[Hashable, int], BeamEntry] = {}

    def beam(self, mode: Hashable, beam_id: int) -> BeamEntry:
        key = (mode, int(beam_id))
        entry = self._beams.get(key)
        if entry is None:
            entry = self._beams[key] = BeamEntry(mode, int(beam_id))
        return entry

    def __len__(self) -> int:
        return len(self._beams)

    def __contains__(self, key: Tuple[Hashable, int]) -> bool:
        return key in self._beams
