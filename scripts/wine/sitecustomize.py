# Installed into the Windows interpreter that scripts/windows-test runs under Wine; never
# shipped. Wine 8.0 implements two Windows APIs that CPython 3.13 calls as stubs that kill the
# process, so the code paths that reach them are switched to CPython's older fallbacks. Real
# Windows needs neither line.
import sys

import _winapi

# kernel32!CopyFile2: shutil.copyfile/copy2 use it when _winapi offers it and otherwise copy
# the bytes themselves (and copystat), as CPython 3.11 did.
if hasattr(_winapi, "CopyFile2"):
    del _winapi.CopyFile2

# propsys!VariantToString, reached through _wmi by platform (and so by pip): without _wmi,
# platform asks the registry and GetVersionEx instead.
sys.modules["_wmi"] = None
