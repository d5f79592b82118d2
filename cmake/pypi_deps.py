"""Prints where pip put PyPI's oneTBB CMake package (tbb-devel) and Boost's headers
(boost-headers) for the build, as "tbb-config-dir;boost-include-dir"; each part is
empty when that package is not installed."""

import importlib.metadata


def tbb_config_dir() -> str:
    try:
        dist = importlib.metadata.distribution("tbb-devel")
    except importlib.metadata.PackageNotFoundError:
        return ""
    for file in dist.files or ():
        if file.name == "TBBConfig.cmake":
            return str(file.locate().resolve().parent)
    return ""


def boost_include_dir() -> str:
    try:
        import boost_headers
    except ImportError:
        return ""
    return str(boost_headers.get_include())


print(f"{tbb_config_dir()};{boost_include_dir()}")
