"""Writing workbooks: one helper that writes beside the target and replaces
it only once the file is complete, and the save of a loaded book with what
openpyxl would drop refused or said."""
import os
import shutil
import sys
import tempfile
import warnings

from testparams.errors import CliError, describe_exception, one_line


def os_error(exc):
    """What went wrong, without the file name (which may be a temporary one)."""
    return exc.strerror or describe_exception(exc)


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


class AtomicTarget(object):
    """A temporary file beside ``path`` that replaces it only on success;
    ``source`` (when given) is copied into it first.  Messages naming the
    temporary file are made to name ``path``."""

    def __init__(self, path, source=None, suffix=None):
        self.path = path
        directory = os.path.dirname(os.path.abspath(path))
        suffix = suffix or os.path.splitext(path)[1] or ".xlsx"
        fd, self.tmp = tempfile.mkstemp(prefix=".testparams-", suffix=suffix, dir=directory)
        os.close(fd)
        if source is not None:
            try:
                shutil.copyfile(source, self.tmp)
            except BaseException:
                os.unlink(self.tmp)
                raise

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            # mkstemp makes the file 0600: give it the mode of the file it
            # replaces, or what a new file gets.
            try:
                mode = os.stat(self.path).st_mode & 0o7777
            except OSError:
                umask = os.umask(0)
                os.umask(umask)
                mode = 0o666 & ~umask
            try:
                os.chmod(self.tmp, mode)
                os.replace(self.tmp, self.path)
            except BaseException:
                os.unlink(self.tmp)
                raise
        elif os.path.exists(self.tmp):
            os.unlink(self.tmp)
        return False

    def named(self, text):
        return text.replace(os.path.abspath(self.tmp), self.path).replace(self.tmp, self.path)


def save_book(book, target, force, rename=lambda text: text):
    """book.save(); what the save would drop refuses it unless ``force``, and
    with ``force`` it is said on stderr."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if not force:
            warnings.filterwarnings("error", category=UserWarning)
        warnings.filterwarnings("ignore", category=UserWarning, module=r"openpyxl(\.|$)")
        try:
            book.save()
        except UserWarning as exc:
            raise CliError("%s (--force saves anyway)" % rename(one_line(exc, 1000)))
        except CliError:
            raise
        except Exception as exc:
            raise CliError("%s: cannot save: %s" % (target, rename(describe_exception(exc))))
    for warning in caught:
        print("testparams: warning: %s" % rename(one_line(warning.message, 1000)),
              file=sys.stderr)
