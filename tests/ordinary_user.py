"""The test scripts' servers run as an ordinary user: the server refuses
root, as the bench service's User= would have it. A run as root starts
them as "nobody" (the preexec_fn of their subprocesses)."""

import os


def as_ordinary_user():
    if os.geteuid() == 0:
        os.setgroups([])
        os.setresgid(65534, 65534, 65534)
        os.setresuid(65534, 65534, 65534)
