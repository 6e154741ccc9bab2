"""The framework's logs, on the standard ``logging`` module.

System messages go to the logger "korvit.sys", user messages and warnings to
"korvit.user".  Both propagate to the logger "korvit", to which
``LoggerManager`` attaches one file handler writing ``<log dir>/<name>.log``
(name = the task id once set, else the process's log time stamp).  Files are
appended to and never deleted.
"""

import logging
import os
import tempfile
import threading
import time

from korvit.tframe.utils.utilfunc import task_file_name

__all__ = [
    "LoggerManager",
    "write_syslog",
    "write_userlog",
    "user_warning",
    "SYS_LOGGER",
    "USER_LOGGER",
]

SYS_LOGGER = "korvit.sys"
USER_LOGGER = "korvit.user"
_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

_base_logger = logging.getLogger("korvit")
if _base_logger.level == logging.NOTSET:
    _base_logger.setLevel(logging.INFO)


class LoggerManager:
    _lock = threading.RLock()
    _log_dir = None
    _task_id = None
    _handler = None
    _timestamp = None

    @classmethod
    def init(cls, log_dir):
        """Log to a file in ``log_dir`` (created), replacing any earlier log file."""
        log_dir = os.path.abspath(os.fspath(log_dir))
        os.makedirs(log_dir, exist_ok=True)
        with cls._lock:
            cls._detach()
            cls._log_dir = log_dir
            cls._attach()

    @classmethod
    def set_task_id_as_log_filename(cls, task_id):
        """Name the log file after ``task_id`` from now on."""
        name = task_file_name(task_id)
        with cls._lock:
            cls._task_id = name
            if cls._handler is not None:
                cls._detach()
                cls._attach()

    @classmethod
    def rm_log_file(cls):
        """Stop writing the log file (its contents stay on disk)."""
        with cls._lock:
            cls._detach()

    @classmethod
    def remove_log_handler(cls):
        """Detach and close the log file handler, releasing the file."""
        with cls._lock:
            cls._detach()

    @classmethod
    def log_timestamp(cls):
        """A time stamp fixed once per process, usable in file names."""
        with cls._lock:
            if cls._timestamp is None:
                cls._timestamp = f"{time.strftime('%Y%m%d_%H%M%S')}_{os.getpid()}"
            return cls._timestamp

    @classmethod
    def log_dir(cls):
        """The current log directory (created); before ``init`` one under the temp dir."""
        with cls._lock:
            path = cls._log_dir or os.path.join(tempfile.gettempdir(), "korvit", "log")
        os.makedirs(path, exist_ok=True)
        return path

    @classmethod
    def log_file(cls):
        """Path of the file being written, or None when no file is attached."""
        with cls._lock:
            return None if cls._handler is None else cls._handler.baseFilename

    @classmethod
    def _attach(cls):
        name = (cls._task_id or cls.log_timestamp()) + ".log"
        # the file is made at its first line: a run that logs nothing leaves no file to remove
        handler = logging.FileHandler(
            os.path.join(cls._log_dir, name), encoding="utf-8", delay=True
        )
        handler.setFormatter(logging.Formatter(_FORMAT))
        _base_logger.addHandler(handler)
        cls._handler = handler

    @classmethod
    def _detach(cls):
        handler, cls._handler = cls._handler, None
        if handler is not None:
            _base_logger.removeHandler(handler)
            handler.close()


def write_syslog(msg):
    """System log; an exception object is logged as an error with its traceback."""
    logger = logging.getLogger(SYS_LOGGER)
    if isinstance(msg, BaseException):
        logger.error("%s: %s", type(msg).__name__, msg, exc_info=msg)
    else:
        logger.info("%s", msg)


def write_userlog(msg):
    logging.getLogger(USER_LOGGER).info("%s", msg)


def user_warning(msg):
    logging.getLogger(USER_LOGGER).warning("%s", msg)
