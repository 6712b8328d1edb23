"""Shared fixtures: the sample images (RGB), the command line, fitted normalisers per method."""
import os
import pathlib

import cv2
import pytest

import histonorm

ROOT = pathlib.Path(os.environ.get("HISTONORM_ROOT", pathlib.Path(__file__).resolve().parents[2]))
SAMPLES = ROOT / "data" / "samples"
MODEL = ROOT / "data" / "models" / "he.model"
METHODS = histonorm.methods()


def read_rgb(path):
    """A PNG as the command line reads it (BGR), turned into RGB."""
    return cv2.imread(str(path), cv2.IMREAD_COLOR)[:, :, ::-1].copy()


def make(method, **kwargs):
    model = MODEL if method == "BimodalDeconvRVM" else None
    return histonorm.Normaliser(method, model=model, **kwargs)


@pytest.fixture(scope="session")
def cli():
    path = os.environ.get("HISTONORM_CLI", str(ROOT / "build" / "release" / "src" / "app" / "histonorm"))
    if not os.access(path, os.X_OK):
        pytest.skip("the command line is not built")
    return path


@pytest.fixture(scope="session")
def target():
    return read_rgb(SAMPLES / "he_sample_2.png")


@pytest.fixture(scope="session")
def source():
    return read_rgb(SAMPLES / "he_sample_1.png")


@pytest.fixture(scope="session", params=METHODS)
def fitted(request, target):
    norm = make(request.param)
    norm.fit(target)
    return norm
