"""Running Python code in a child interpreter that imports the same
orv_testparameters as the parent, with an optional address-space limit."""

import json
import os
import resource
import subprocess
import sys

MIB = 1024 * 1024


def module_dir():
    """The folder from which this interpreter imports orv_testparameters."""
    import orv_testparameters
    return os.path.dirname(os.path.abspath(orv_testparameters.__file__))


def under_asan():
    """True when AddressSanitizer is preloaded: it reserves terabytes of
    address space, so an address-space limit cannot be used with it."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def child_env(extra=None):
    env = dict(os.environ)
    paths = [module_dir(), os.path.dirname(os.path.abspath(__file__))]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env.pop("PYTHONSTARTUP", None)
    if extra:
        env.update(extra)
    return env


def address_limit(nbytes):
    """A preexec_fn that caps the child's address space at `nbytes`, or None
    when the cap cannot apply (AddressSanitizer)."""
    if nbytes is None or under_asan():
        return None

    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (nbytes, nbytes))
    return apply


def run_json(code, timeout, memory=1024 * MIB, env=None, args=()):
    """Run `code` with `python -c` in a child; it must print one JSON object
    as its last line.  Returns (returncode, object or None, stdout, stderr).
    A timeout kills the child and raises subprocess.TimeoutExpired."""
    proc = subprocess.Popen(
        [sys.executable, "-c", code] + list(args),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=child_env(env), preexec_fn=address_limit(memory),
        universal_newlines=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise
    result = None
    lines = out.strip().splitlines()
    if lines:
        try:
            result = json.loads(lines[-1])
        except ValueError:
            result = None
    return proc.returncode, result, out, err


def describe_exit(returncode):
    """'exit status N' or 'killed by signal NAME'."""
    if returncode is not None and returncode < 0:
        import signal
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = str(-returncode)
        return "killed by signal %s" % name
    return "exit status %s" % returncode


def exception_chain(exc):
    """['module.Type', ...] for `exc` and its causes and contexts."""
    seen = []
    while exc is not None and len(seen) < 20:
        seen.append("%s.%s" % (type(exc).__module__, type(exc).__qualname__))
        exc = exc.__cause__ or exc.__context__
    return seen
