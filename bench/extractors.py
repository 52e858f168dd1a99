"""The names of the default extractors in registry order, read from core/src/extractors/list.hpp
(the one list the registry, the fuzz targets and these scripts share)."""

import re
from pathlib import Path

_LIST = Path(__file__).resolve().parents[1] / "core" / "src" / "extractors" / "list.hpp"

EXTRACTORS = re.findall(r"^ *X\([A-Za-z0-9]+, ([a-z0-9]+), [A-Za-z]+\)", _LIST.read_text(), re.M)
