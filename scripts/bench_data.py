"""What the speed benches share: their input files."""
import os


def make_file(path, size):
    """A file of size random bytes at path; one of that size already there is kept."""
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 16 << 20)
            f.write(os.urandom(n))
            left -= n
