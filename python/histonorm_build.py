"""The build backend of `pip install .` and `python3 -m build` (PEP 517), standard library only.

The module is built by the project's own CMake build, for the interpreter that runs this backend
(its headers and ABI), into a wheel tagged for that interpreter. Nothing is downloaded: the build
needs the Debian packages of scripts/install-deps.sh and works without build isolation.
Environment: HISTONORM_WHEEL_BUILD_DIR (the CMake build folder, default build/wheel-<tag>),
CMAKE_BUILD_PARALLEL_LEVEL (compile jobs).
"""
import base64
import hashlib
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
NAME = "histonorm"
SUMMARY = "Colour normalisation of stained tissue images"


def _version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(histonorm VERSION ([0-9.]+)", text).group(1)


def _tag():
    python = "cp%d%d" % sys.version_info[:2]
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-%s%s-%s" % (python, python, sys.abiflags, platform)


def _metadata():
    return (
        "Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: >=3.6\n"
        "Requires-Dist: numpy\n" % (NAME, _version(), SUMMARY)
    )


def _dist_info():
    return "%s-%s.dist-info" % (NAME, _version())


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    folder = pathlib.Path(metadata_directory) / _dist_info()
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "METADATA").write_text(_metadata())
    return folder.name


def _build_module():
    """Configures and builds the module for this interpreter; returns the module and its stubs."""
    build = pathlib.Path(os.environ.get("HISTONORM_WHEEL_BUILD_DIR") or ROOT / "build" / ("wheel-" + _tag()))
    _forget_other_interpreter(build)
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DPython_EXECUTABLE=" + sys.executable, "-DHISTONORM_PYTHON=ON",
                 "-DHISTONORM_BUILD_TESTS=OFF", "-DHISTONORM_BUILD_BENCH=OFF"]
    if shutil.which("ccache"):
        configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    # The backend's output goes to standard error: pip and build show it on failure or with -v.
    subprocess.run(configure, check=True, stdout=sys.stderr)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    subprocess.run(["cmake", "--build", str(build), "--target", "histonorm_python", "-j", jobs],
                   check=True, stdout=sys.stderr)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    module = build / "python" / (NAME + suffix)
    if not module.exists():
        raise RuntimeError("the CMake build made no %s (is pybind11-dev installed?)" % module.name)
    return [module, build / "python" / (NAME + ".pyi")]


def _forget_other_interpreter(build):
    """A build folder configured for another interpreter is configured afresh; the library's
    objects, which do not depend on the interpreter, stay and are not compiled again. One made
    from another source tree is removed."""
    cache = build / "CMakeCache.txt"
    if not cache.exists():
        return
    lines = cache.read_text(errors="replace").splitlines()
    if "CMAKE_HOME_DIRECTORY:INTERNAL=" + str(ROOT) not in lines:  # another source tree: start again
        shutil.rmtree(build)
        return
    if "Python_EXECUTABLE:FILEPATH=" + sys.executable in lines:
        return
    cache.unlink()
    for folder in (build / "CMakeFiles", build / "python"):
        shutil.rmtree(folder, ignore_errors=True)


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = {path.name: path.read_bytes() for path in _build_module()}
    dist_info = _dist_info()
    files[dist_info + "/METADATA"] = _metadata().encode()
    files[dist_info + "/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: histonorm_build\nRoot-Is-Purelib: false\nTag: %s\n" % _tag()
    ).encode()
    record = "".join(_record_line(name, data) for name, data in files.items()) + dist_info + "/RECORD,,\n"
    files[dist_info + "/RECORD"] = record.encode()
    wheel_name = "%s-%s-%s.whl" % (NAME, _version(), _tag())
    pathlib.Path(wheel_directory).mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            wheel.writestr(info, data, zipfile.ZIP_DEFLATED)
    return wheel_name


def _source_files():
    """The tracked files of a git checkout, else every file outside build folders."""
    try:
        listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z", "--cached", "--others", "--exclude-standard"], check=True, capture_output=True)
        return [name for name in listed.stdout.decode().split("\0") if name and (ROOT / name).is_file()]
    except (OSError, subprocess.CalledProcessError):
        skip = {"build", ".git", "dist", "__pycache__"}
        return sorted(str(path.relative_to(ROOT)) for path in ROOT.rglob("*")
                      if path.is_file() and not skip.intersection(path.relative_to(ROOT).parts))


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    name = base + ".tar.gz"
    pathlib.Path(sdist_directory).mkdir(parents=True, exist_ok=True)
    with tarfile.open(pathlib.Path(sdist_directory) / name, "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for file in _source_files():
            sdist.add(str(ROOT / file), arcname=base + "/" + file, recursive=False)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return name
