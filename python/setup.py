"""The extension stripedrv._stripedrv for pip (see pyproject.toml).

It is compiled from src/_stripedrv.cpp and the shared pieces of this source
tree (../common), and linked with the installed driver, found through
pkg-config (stripedrv.pc from stripedrv-dev); PKG_CONFIG_PATH points at
another installation.
"""

import os
import shlex
import subprocess

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
COMMON = os.path.join(HERE, "..", "common")
PIECES = ["messages", "track2", "identity", "holders"]


def pkg_config(option: str) -> list:
    try:
        out = subprocess.run(["pkg-config", option, "stripedrv"], check=True,
                             capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return {"--cflags": [], "--libs": ["-l:stripedrv.so"]}[option]
    return shlex.split(out)


extension = Pybind11Extension(
    "stripedrv._stripedrv",
    [os.path.relpath(path, HERE) for path in
     [os.path.join(HERE, "src", name) for name in ("_stripedrv.cpp", "blocking.cpp")] +
     [os.path.join(COMMON, piece, piece + ".cpp") for piece in PIECES]],
    include_dirs=[os.path.join(COMMON, piece) for piece in PIECES],
    extra_compile_args=pkg_config("--cflags") + ["-fvisibility=hidden"],
    extra_link_args=pkg_config("--libs"),
    cxx_std=17,
)

setup(ext_modules=[extension])
