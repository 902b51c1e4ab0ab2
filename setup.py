import glob
import os
import sys

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))

sources = sorted(
    os.path.relpath(path, HERE)
    for path in glob.glob(os.path.join(HERE, "testparameters", "**", "*.cpp"), recursive=True)
)

# Headers, so that a changed header rebuilds the objects that include it.
headers = sorted(
    os.path.relpath(path, HERE)
    for path in glob.glob(os.path.join(HERE, "testparameters", "**", "*.hpp"), recursive=True)
)

extra_compile_args = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]
extra_link_args = []
if os.environ.get("TESTPARAMETERS_SANITIZE"):
    flags = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
    extra_compile_args += flags
    extra_link_args += flags

setup(
    # The command-line tool, and the type stubs of the extension as a stub-only package.
    packages=["testparams", "orv_testparameters-stubs"],
    package_data={"orv_testparameters-stubs": ["__init__.pyi"]},
    ext_modules=[
        Extension(
            "orv_testparameters",
            sources=sources,
            depends=headers,
            include_dirs=["testparameters"],
            language="c++",
            extra_compile_args=extra_compile_args,
            extra_link_args=extra_link_args,
        )
    ],
)
