"""Communication with the core process: the socket client and its commands."""
