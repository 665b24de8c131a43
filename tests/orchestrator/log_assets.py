"""Assets that write to their run's output in every way a run can, and ones that break
the standard descriptors and streams for whatever runs next in their process."""

import ctypes
import logging
import os
import subprocess
import sys
import time

from tevra import asset

# Each way of writing, in the order noisy() uses them.
NOISY_LINES = ["print {tag}", "sys.stderr {tag}", "fd 1 {tag}", "fd 2 {tag}", "child {tag}",
               "INFO noisy: record {tag}", "printf {tag}"]


@asset()
def noisy(tag="x"):
    print(f"print {tag}")
    sys.stderr.write(f"sys.stderr {tag}\n")
    os.write(1, f"fd 1 {tag}\n".encode())
    os.write(2, f"fd 2 {tag}\n".encode())
    subprocess.run([sys.executable, "-c", f"import os; os.write(2, b'child {tag}\\n')"], check=True)
    logging.getLogger("noisy").info("record %s", tag)
    logging.getLogger("noisy").debug("not kept: below INFO")
    ctypes.CDLL(None).printf(b"printf %s\n", tag.encode())
    return tag


@asset()
def user_logging():
    logging.basicConfig(format="mine|%(levelname)s|%(message)s", level=logging.DEBUG)
    logging.getLogger("user").debug("debug kept")
    return 1


@asset()
def chatty(lines=0):
    out = sys.stdout
    for i in range(lines):
        out.write(f"line {i:07d}\n")
    return lines


@asset()
def silent():
    return 0


def close_descriptors():
    for fd in (0, 1, 2):
        os.close(fd)


def close_streams():
    sys.stdout.close()
    sys.stderr.close()


def replace_streams():
    sys.stdout = sys.stderr = open(os.devnull, "w")


def null_descriptors():
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)


VANDALS = {f.__name__: f for f in (close_descriptors, close_streams, replace_streams,
                                   null_descriptors)}


@asset()
def vandal(how="close_descriptors"):
    VANDALS[how]()
    return how


@asset()
def writes_data():
    # With descriptors 0-2 left closed by an earlier run, the file could take one of
    # their numbers and the print below would land in it.
    with open("data.txt", "w") as f:
        f.write("data\n")
        print("a log line")
    with open("data.txt") as f:
        return f.read()


@asset()
def leaves_a_writer(done=""):
    # A child that outlives its run and writes to the descriptors it inherited once the
    # run has ended, then says so by making ``done``; its pid is in ``done.pid``.
    print("mine", flush=True)
    child = subprocess.Popen(["sh", "-c", f"sleep 0.3; echo late; : > '{done}'"])
    with open(f"{done}.pid", "w") as f:
        f.write(str(child.pid))
    return 1


@asset()
def leaves_a_quiet_writer(go="", done=""):
    # Writes nothing itself; its child writes once ``go`` appears (during a later run
    # in the same worker), then makes ``done``. The child's pid is in ``done.pid``.
    child = subprocess.Popen(["sh", "-c", f"while [ ! -e '{go}' ]; do sleep 0.02; done; "
                              f"echo late; : > '{done}'"])
    with open(f"{done}.pid", "w") as f:
        f.write(str(child.pid))
    return 1


@asset()
def starts_the_writer(go="", done=""):
    # Lets the child of the run before write, and waits until it has, or is gone (as
    # when its run's process group was ended); then writes its own line.
    open(go, "w").close()
    with open(f"{done}.pid") as f:
        child = int(f.read())
    for _ in range(1500):
        if os.path.exists(done):
            break
        try:
            os.kill(child, 0)
        except ProcessLookupError:
            break
        time.sleep(0.02)
    print("own")
    return os.path.exists(done)
