"""Saving a figure by replacing its file: a new temporary file in the same folder, then a rename."""
import os
import tempfile


def _umask():
    """Returns the process's file-creation mask, read without changing it where Linux allows."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    mask = os.umask(0o022)  # elsewhere the mask can only be read by setting it
    os.umask(mask)
    return mask


def save_figure_replacing(fig, path, **savefig_kwargs):
    """Saves `fig` at `path` and returns the path written.

    The figure goes to a new temporary file of the same folder (created exclusively), which
    os.replace then moves into place: a symbolic link or file planted at `path` is replaced,
    never followed or written through. The format and the file name follow savefig's own
    rule: the format from the extension, else the default file type appended to the name.
    The file gets the mode a newly created file would get (0666 less the umask).
    """
    path = os.fspath(path)
    fmt = savefig_kwargs.pop("format", None) or os.path.splitext(path)[1][1:]
    if not fmt:
        fmt = fig.canvas.get_default_filetype()
        path = path.rstrip(".") + "." + fmt
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".korvane-", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as out:
            fig.savefig(out, format=fmt, **savefig_kwargs)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    return path
