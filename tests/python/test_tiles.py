"""fit against partial_fit, the accepted kinds of images, and Transform: tiles, threads, pickling."""
import os
import pickle
import re
import threading

import numpy as np
import pytest
from PIL import Image

import histonorm
from conftest import METHODS, make

torch = None  # without it, DLPack is tested through numpy's own __dlpack__
if "ASAN_OPTIONS" not in os.environ:  # not under the preloaded sanitizer runtime: torch is not built for it
    try:
        import torch
    except ImportError:
        pass


@pytest.mark.parametrize("method", METHODS)
def test_fit_replaces_and_partial_fit_adds(method, target, source):
    tile = source[:96, :128]
    replaced, fresh, added, mean = (make(method) for _ in range(4))
    replaced.fit(source)
    replaced.fit(target)
    fresh.fit(target)
    added.fit(source)
    added.partial_fit(target)
    mean.fit([source, target])
    assert np.array_equal(replaced.transform(tile), fresh.transform(tile))
    assert np.array_equal(added.transform(tile), mean.transform(tile))
    if method == "Reinhard":  # the mean of two targets is neither
        assert not np.array_equal(added.transform(tile), fresh.transform(tile))


class ArrayLike:
    """An object that numpy converts through __array__ only."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None):
        return self.array


class DLPackOnly:
    """An object that exports its pixels through DLPack only."""

    def __init__(self, array):
        self.array = array

    def __dlpack__(self, stream=None):
        return self.array.__dlpack__()

    def __dlpack_device__(self):
        return self.array.__dlpack_device__()


KINDS = {
    "pil": (lambda a: Image.fromarray(a), {}),
    "array_like": (ArrayLike, {}),
    "dlpack": (DLPackOnly, {}),
    "chw": (lambda a: np.moveaxis(a, 2, 0), {"channels_first": True}),
}
if torch is not None:
    KINDS["torch_hwc"] = (torch.from_numpy, {})
    KINDS["torch_chw"] = (lambda a: torch.from_numpy(a).permute(2, 0, 1).contiguous(), {"channels_first": True})


@pytest.mark.parametrize("kind", KINDS.values(), ids=KINDS.keys())
def test_every_kind_of_image_gives_the_arrays_bytes(kind, target, source):
    convert, options = kind
    tile = source[:64, :80].copy()
    norm = make("Reinhard")
    norm.fit(convert(target.copy()), **options)
    expected = make("Reinhard")
    expected.fit(target)
    assert np.array_equal(norm.transform(convert(tile), **options), expected.transform(tile))
    assert np.array_equal(norm.fit_source(convert(tile), **options)(convert(tile), **options), expected.transform(tile))


def test_batches_give_batches_of_each_images_result(fitted, source):
    tiles = np.stack([source[:48, :64], source[48:96, 64:128], source[:48, 64:128]])
    results = fitted.transform(tiles)
    assert results.shape == tiles.shape and results.flags["C_CONTIGUOUS"]
    assert all(np.array_equal(result, fitted.transform(tile)) for result, tile in zip(results, tiles))
    chw = fitted.transform(np.ascontiguousarray(np.moveaxis(tiles, 3, 1)), channels_first=True)
    assert np.array_equal(chw, results)
    transform = fitted.fit_source(tiles)
    assert np.array_equal(transform(tiles)[1], transform(tiles[1]))


def test_transform_fitted_on_an_image_equals_its_normalisation_tile_by_tile(fitted, source):
    whole = fitted.transform(source)
    transform = fitted.fit_source(source)
    assert transform.method == fitted.method
    height, width = source.shape[:2]
    for top in range(0, height, 128):
        for left in range(0, width, 160):
            tile = source[top:top + 128, left:left + 160]
            assert np.array_equal(transform(tile), whole[top:top + 128, left:left + 160]), (top, left)
    copy = pickle.loads(pickle.dumps(transform))
    assert np.array_equal(copy.transform(source), whole)


def test_one_transform_serves_many_threads(target, source):
    norm = make("Reinhard", threads=1)
    norm.fit(target)
    transform = norm.fit_source([source, target[:, :200]])  # widths differ: one image of all pixels
    tiles = [source[i * 32:(i + 1) * 32, :256] for i in range(8)]
    expected = [transform(tile) for tile in tiles]
    results, errors = {}, []

    def work(worker):
        try:
            for round_ in range(20):
                index = (worker + round_) % len(tiles)
                results[(worker, round_)] = (index, transform(tiles[index]))
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors and all(np.array_equal(result, expected[index]) for index, result in results.values())


def test_misuse_is_reported_in_pythons_words(source):
    norm = make("Reinhard")
    with pytest.raises(RuntimeError, match="no usable target"):
        norm.fit_source(source)
    norm.fit(source)
    with pytest.raises(TypeError, match="not str") as error:
        norm.transform("tile.png")
    with pytest.raises(ValueError, match=r"\(3, H, W\).*\(64, 64, 3\)"):
        norm.transform(source[:64, :64], channels_first=True)
    with pytest.raises(ValueError, match="not a pickled histonorm.Normaliser") as bad_state:
        histonorm.Normaliser.__new__(histonorm.Normaliser).__setstate__((1, 2, 3, 4))
    for raised in (error, bad_state):
        assert not re.search(r"std::|C\+\+", str(raised.value))
    assert re.fullmatch(r"\d+\.\d+\.\d+", histonorm.__version__)
