import re
import sys as sys
from importlib import metadata as metadata
from pathlib import Path
from typing import NamedTuple

_PACKAGE_NAME: str
_PYPROJECT: Path
_VERSION_RE: re.Pattern[str]
_SUMMARY_RE: re.Pattern[str]
_DEFAULT_HOMEPAGE: str
_DEFAULT_SUMMARY: str

class AboutMeta(NamedTuple):
    name: str
    version: str
    summary: str
    license: str
    author: str
    maintainer: str
    homepage: str
    documentation: str
    python_version: str

def get_version() -> str: ...
def get_aboutmeta() -> AboutMeta: ...
def format_about_html() -> str: ...
def _read_pyproject_field(pattern: re.Pattern[str]) -> str | None: ...
def _parse_project_urls(meta_json: dict) -> dict[str, str]: ...
def _display_name(raw: str) -> str: ...
def _clean_summary(summary: str) -> str: ...
