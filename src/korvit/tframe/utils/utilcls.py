"""Output directories of a run, under ``<cache root>/output``."""

import os
import shutil
import threading

from korvit.tframe.utils.utilfunc import task_file_name

__all__ = ["OutputFileManager"]


class OutputFileManager:
    """Sub-directories of the output root; once a task id is set they live in a
    per-task folder ``<output root>/<task id>``.  No path may leave the root."""

    _lock = threading.Lock()
    _root = None
    _task_id = None

    @classmethod
    def init(cls, cache_root):
        root = os.path.join(os.path.abspath(os.fspath(cache_root)), "output")
        os.makedirs(root, exist_ok=True)
        with cls._lock:
            cls._root = root

    @classmethod
    def set_task_id(cls, task_id):
        name = task_file_name(task_id)
        with cls._lock:
            cls._task_id = name

    @classmethod
    def root_sub_dir(cls, sub=""):
        """Path of the sub-directory ``sub`` (not created)."""
        with cls._lock:
            root, task_id = cls._root, cls._task_id
        if root is None:
            raise RuntimeError("OutputFileManager.init(cache_root) has not been called")
        sub = os.fspath(sub)
        if not isinstance(sub, str):
            raise TypeError(f"sub-directory must be text, got {sub!r}")
        base = root if task_id is None else os.path.join(root, task_id)
        path = os.path.normpath(os.path.join(base, sub))
        real_root = os.path.realpath(root)
        if os.path.commonpath([real_root, os.path.realpath(path)]) != real_root:
            raise ValueError(f"sub-directory {sub!r} lies outside the output root {root}")
        return path

    @classmethod
    def mk_root_sub_dir(cls, sub):
        path = cls.root_sub_dir(sub)
        os.makedirs(path, exist_ok=True)
        return path

    @classmethod
    def rm_root_sub_dir(cls, sub):
        """Remove the sub-directory tree; True when there was one to remove."""
        path = cls.root_sub_dir(sub)
        if os.path.realpath(path) == os.path.realpath(cls._root):
            raise ValueError("refusing to remove the output root itself")
        if not os.path.lexists(path):
            return False
        if os.path.islink(path) or not os.path.isdir(path):
            raise NotADirectoryError(f"{path} is not a directory")
        shutil.rmtree(path)
        return True

    @classmethod
    def cls_root_sub_dir(cls, sub):
        """Empty the sub-directory (created when missing) and return its path."""
        path = cls.mk_root_sub_dir(sub)
        for entry in os.scandir(path):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path)
            else:
                os.remove(entry.path)
        return path
