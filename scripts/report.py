"""Print what the extension manager would do on this machine."""

import talvex.core.extensions.wheelwork as wheelwork
import talvex.utils.aboutmeta as aboutmeta
import talvex.utils.relauncher as relauncher


def main() -> None:
    print("installer:", wheelwork.installer_label() if hasattr(wheelwork, "installer_label") else "?")
    if hasattr(wheelwork, "_pending_ops_path"):
        print("pending-operations file:", wheelwork._pending_ops_path())
    if hasattr(relauncher, "relaunch_command"):
        print("relaunch command:", relauncher.relaunch_command())
    if hasattr(aboutmeta, "format_about_html"):
        print("about:", aboutmeta.format_about_html())


if __name__ == "__main__":
    main()
