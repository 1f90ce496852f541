"""What a run of adjtimelog left undelivered in its state directory: the
lines of the backlog past the offset in consumed, and the rows set aside in
dead-letters (each one line: time, error, the raw line with control bytes
as \\xNN)."""
import os


def backlog(state):
    names = [n for n in os.listdir(state) if n.startswith("backlog.")] if os.path.isdir(state) else []
    if not names:
        return b""
    with open(os.path.join(state, names[0]), "rb") as f:
        data = f.read()
    consumed = os.path.join(state, "consumed")
    if os.path.exists(consumed):
        with open(consumed, "rb") as f:
            owner, offset = f.read().split()
        if b"backlog." + owner == names[0].encode():
            data = data[int(offset):]
    return data


def dead_letters(state):
    path = os.path.join(state, "dead-letters")
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return [line.split(b"\t", 2)[2] for line in f.read().splitlines()]
