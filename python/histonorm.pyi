"""Colour normalisation of stained tissue images.

Images are numpy arrays of shape (H, W, 3) and dtype uint8 in RGB order, with any strides.
"""
from os import PathLike
from typing import Callable, Optional, Protocol, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

RgbImage = npt.NDArray[np.uint8]

class _Writable(Protocol):
    def write(self, text: str, /) -> object: ...

LogTarget = Union[None, Callable[[str], object], _Writable]

def methods() -> list[str]:
    """The names of the normalisation methods."""

class Normaliser:
    """A normaliser of one method, fitted to a target.

    fit and transform release the GIL; concurrent calls on one Normaliser are safe and are
    serialised. It pickles (settings and fitted target; the log target is not pickled).
    """

    def __init__(
        self,
        method: str,
        model: Optional[Union[str, PathLike[str]]] = None,
        threads: int = 0,
        log: LogTarget = None,
    ) -> None:
        """Raises ValueError for an unknown method or a stain method without model, OSError when
        the colour model cannot be used, TypeError for an unusable log object."""
    def fit(self, images: Union[RgbImage, Sequence[RgbImage]]) -> None:
        """Adds one image, or each image of a list, to the target (several give their mean).
        Raises ValueError for an array that is not a non-empty (H, W, 3) uint8 image."""
    def transform(self, image: RgbImage) -> RgbImage:
        """Returns a new C-contiguous (H, W, 3) uint8 RGB array. Raises RuntimeError before fit."""
    def save_target(self, path: Union[str, PathLike[str]]) -> None:
        """Writes the fitted target as JSON (the command line's --save-target format)."""
    def load_target(self, path: Union[str, PathLike[str]]) -> None:
        """Replaces the target with a saved one. Raises ValueError for a bad file, OSError when
        it cannot be read."""
    @property
    def method(self) -> str: ...
    @property
    def model(self) -> Optional[str]: ...
    @property
    def threads(self) -> int: ...
    @property
    def fitted(self) -> bool: ...
    @property
    def log(self) -> LogTarget: ...
    def __getstate__(self) -> Tuple[str, Optional[str], int, Optional[str]]: ...
    def __setstate__(self, state: Tuple[str, Optional[str], int, Optional[str]]) -> None: ...

def check(source: RgbImage, result: RgbImage, target: Union[RgbImage, Sequence[RgbImage]]) -> dict[str, object]:
    """Checks that `result` is a sane normalisation of `source` towards `target` (an image or a list
    of them): {"passed": bool, "failures": [str], "ssim": float, ...}."""
