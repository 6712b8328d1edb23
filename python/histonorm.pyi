"""Colour normalisation of stained tissue images.

Images are uint8 RGB arrays of shape (H, W, 3), or batches (N, H, W, 3), with any strides: numpy
arrays, objects with __array__ (PIL images) or __dlpack__ (torch tensors); with
channels_first=True, (3, H, W) or (N, 3, H, W).
"""
from os import PathLike
from typing import Any, Callable, Optional, Protocol, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

RgbImage = npt.NDArray[np.uint8]
ImageLike = Any  # an RgbImage, a batch, a PIL image, a tensor

__version__: str

class _Writable(Protocol):
    def write(self, text: str, /) -> object: ...

LogTarget = Union[None, Callable[[str], object], _Writable]

def methods() -> list[str]:
    """The names of the normalisation methods."""

class Normaliser:
    """A normaliser of one method, fitted to a target.

    fit and transform release the GIL; concurrent calls on one Normaliser are safe and run at
    once (a fit swaps the new target in when complete). It pickles (settings and fitted target; the log target is not pickled).
    """

    def __init__(
        self,
        method: str,
        model: Optional[Union[str, PathLike[str]]] = None,
        threads: int = 0,
        log: LogTarget = None,
        params: Optional[Union[str, PathLike[str]]] = None,
    ) -> None:
        """Raises ValueError for an unknown method, a stain method without model, params for
        another method or a bad value in the params file, OSError when the colour model or the
        params file cannot be used, TypeError for an unusable log object."""
    def fit(self, images: Union[ImageLike, Sequence[ImageLike]], *, channels_first: bool = False) -> None:
        """Replaces the target with one image, a batch or each image of a list (several give their
        mean). Raises ValueError for an array that is not a non-empty uint8 RGB image or batch,
        TypeError for an object that is no array."""
    def partial_fit(self, images: Union[ImageLike, Sequence[ImageLike]], *, channels_first: bool = False) -> None:
        """Adds the images to the target (fit(a); partial_fit(b) is fit([a, b]))."""
    def transform(self, image: ImageLike, *, channels_first: bool = False) -> RgbImage:
        """Returns a new C-contiguous uint8 RGB array (a batch for a batch, channels last).
        Raises RuntimeError before fit."""
    def fit_source(self, images: Union[ImageLike, Sequence[ImageLike]], *, channels_first: bool = False) -> Transform:
        """Measures the source once (all pixels of the images as one image); the result applies
        that normalisation to any tile. Raises RuntimeError before fit."""
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
    def params(self) -> Optional[str]: ...
    @property
    def fitted(self) -> bool: ...
    @property
    def log(self) -> LogTarget: ...
    def __getstate__(self) -> Tuple[str, Optional[str], int, Optional[str]]: ...
    def __setstate__(self, state: Tuple[str, Optional[str], int, Optional[str]]) -> None: ...

class Transform:
    """A normalisation measured once on a source, applied to any tile; releases the GIL, runs
    concurrently from many threads, pickles (settings, target and source pixels)."""

    def __call__(self, image: ImageLike, *, channels_first: bool = False) -> RgbImage: ...
    def transform(self, image: ImageLike, *, channels_first: bool = False) -> RgbImage: ...
    @property
    def method(self) -> str: ...
def check(source: RgbImage, result: RgbImage, target: Union[RgbImage, Sequence[RgbImage]]) -> dict[str, object]:
    """Checks that `result` is a sane normalisation of `source` towards `target` (an image or a list
    of them): {"passed": bool, "failures": [str], "ssim": float, ...}."""
