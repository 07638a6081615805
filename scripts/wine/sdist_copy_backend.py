"""Build backend that pip is handed when it fetches the carrier sdist of the Windows interpreter.

pip unpacks the sdist and asks its backend for the build requirements; this stand-in copies the
unpacked tree (pip's working directory) to $TALVEX_SDIST_COPY and stops pip there, so that none
of the sdist's own code (setup.py and friends) ever runs. Installed as `setuptools.build_meta`
in a throw-away venv, since an sdist without pyproject.toml gets `build_meta:__legacy__`.
"""
import os
import shutil


def _copy_and_stop(*args, **kwargs):
    dest = os.environ["TALVEX_SDIST_COPY"]
    shutil.copytree(os.getcwd(), dest, dirs_exist_ok=True)
    raise SystemExit(f"sdist tree copied to {dest}; nothing in it was run")


class _AnyHook:
    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return _copy_and_stop


__legacy__ = _AnyHook()
get_requires_for_build_wheel = _copy_and_stop
get_requires_for_build_sdist = _copy_and_stop
prepare_metadata_for_build_wheel = _copy_and_stop
build_wheel = _copy_and_stop
build_sdist = _copy_and_stop
