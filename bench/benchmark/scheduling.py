"""Priorities: the measuring script and the simulator above the machine's
noise, the programs measured as users run them."""
import ctypes
import os
import struct
import subprocess


def realtime_possible():
    try:
        return subprocess.run(["chrt", "-f", "1", "true"], capture_output=True).returncode == 0
    except OSError:
        return False


def make_self_realtime():
    """Puts the measuring process above the noise of the machine; whatever it
    starts is reset to normal scheduling, so the programs measured run as
    users run them."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO | os.SCHED_RESET_ON_FORK, os.sched_param(40))
        return True
    except (OSError, AttributeError):
        return False


def set_slice(pid, slice_us):
    """Asks the scheduler for a shorter time slice for pid (sched_setattr with
    sched_runtime for SCHED_OTHER; Linux 6.12 and later honour it): a task
    that wakes with a short slice gets an earlier deadline and so the CPU
    sooner from busy neighbours."""
    numbers = {"x86_64": 314, "aarch64": 274}
    number = numbers.get(os.uname().machine)
    if number is None:
        raise OSError("sched_setattr: unknown system call number on this machine")
    # struct sched_attr, first version: size, policy, flags, nice, priority,
    # runtime, deadline, period.
    attr = struct.pack("=IIQiIQQQ", 48, 0, 0, 0, 0, slice_us * 1000, 0, 0)
    buffer = ctypes.create_string_buffer(attr, len(attr))
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syscall(number, pid, buffer, 0) != 0:
        raise OSError(ctypes.get_errno(), "sched_setattr")
