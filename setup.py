import glob
import os
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

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



class BuildExt(build_ext):
    """Compiler options by compiler: MSVC takes its own spelling of C++17 and
    none of the options of GCC and Clang."""

    def build_extensions(self):
        if self.compiler.compiler_type == "msvc":
            compile_args, link_args = ["/std:c++17"], []
        else:
            compile_args = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]
            link_args = []
            if os.environ.get("TESTPARAMETERS_SANITIZE"):
                flags = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
                compile_args += flags
                link_args += flags
        for ext in self.extensions:
            ext.extra_compile_args = compile_args
            ext.extra_link_args = link_args
        super().build_extensions()


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
        )
    ],
    cmdclass={"build_ext": BuildExt},
)
