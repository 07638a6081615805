"""Command-line front end of the Talvex extension manager (``talvex-ext``)."""
